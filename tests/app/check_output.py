# Checks the documents the end-to-end test saved: one per person, each filled with that person's
# values, nothing half-written left behind, nothing outside the folder.
import os
import sys
import zipfile

folder = sys.argv[1]
out = os.path.join(folder, "out folder")
names = sorted(os.listdir(out))
print("files", " ".join(names))
for i, (name, city) in enumerate((("Ann Lee", "Oslo"), ("Bob/Roe", "Rome"), ("Chen 陈", "Xi:an")), 1):
    with zipfile.ZipFile(os.path.join(out, "Letter_%d.docx" % i)) as z:
        xml = z.read("word/document.xml").decode("utf-8")
    text = "".join(part.split(">", 1)[-1] for part in xml.split("<"))
    print("Letter_%d" % i, ("Name: " + name) in text, ("City: " + city) in text, "Missing: []" in text, "{" not in text)
print("again.docx", open(os.path.join(out, "again.docx"), "rb").read().decode())
print("nothing outside", not os.path.exists(os.path.join(folder, "escaped.docx")))
