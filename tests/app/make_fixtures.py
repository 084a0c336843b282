# Makes the end-to-end test's template and sheet in the folder given: a letter with three
# placeholders and three people (one row left empty between them).
import sys
import docx
import openpyxl

folder = sys.argv[1]
d = docx.Document()
for line in ("Name: {Name}", "City: {City}", "Missing: [{Phone}]"):
    d.add_paragraph(line)
d.save(folder + "/Letter.docx")
wb = openpyxl.Workbook()
ws = wb.active
for row in (("Name", "City"), ("Ann Lee", "Oslo"), ("Bob/Roe", "Rome"), (None, None), ("Chen 陈", "Xi:an")):
    ws.append(row)
wb.save(folder + "/people.xlsx")
