"""The command line's batch generation (papyrant generate), run for real against templates and
sheets made here (python-docx, openpyxl, and the page's own fixtures through Node).

Usage: test_generate.py PAPYRANT [unittest arguments, e.g. a test class name]
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import docx
import openpyxl

PAPYRANT = None
HERE = os.path.dirname(os.path.abspath(__file__))
PAGE_TOOLS = os.path.join(HERE, "page_tools.mjs")


def page_tool(*args):
    subprocess.run(["node", PAGE_TOOLS, *args], check=True, timeout=120)


def make_template(path, paragraphs, header=None):
    document = docx.Document()
    for text in paragraphs:
        document.add_paragraph(text)
    if header:
        document.sections[0].header.paragraphs[0].text = header
    document.save(path)
    return path


def make_sheet(path, rows, title="Data", extra=None):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = title
    for row in rows:
        sheet.append(row)
    for name, more in (extra or {}).items():
        other = book.create_sheet(name)
        for row in more:
            other.append(row)
    book.save(path)
    return path


def body_text(docx_bytes_or_path, part="word/document.xml"):
    with zipfile.ZipFile(docx_bytes_or_path) as z:
        xml = z.read(part).decode("utf-8")
    return "".join(re.findall(r"<w:t(?: [^>]*)?>([^<]*)</w:t>", xml))


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="papyrant-generate-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def run_generate(self, *args, expect=None):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env["TZ"] = "UTC"
        done = subprocess.run([PAPYRANT, "generate", *args], capture_output=True, text=True, timeout=300, cwd=self.dir, env=env)
        if expect is not None:
            self.assertEqual(done.returncode, expect, f"stdout: {done.stdout}\nstderr: {done.stderr}")
        return done

    def run_json(self, *args, expect=None):
        done = self.run_generate(*args, "--json", expect=expect)
        return json.loads(done.stdout)

    def letter(self, paragraphs=("Dear {Name} of {City},", "Thank you.")):
        return make_template(self.path("Letter.docx"), paragraphs)

    def people(self, rows=None):
        rows = rows or [["Name", "City"], ["Ann", "Oslo"], ["Ben", "Rome"], ["Cleo", "Lima"]]
        return make_sheet(self.path("people.xlsx"), rows)

    def leftovers(self, folder):
        return [n for n in os.listdir(folder) if n.startswith(".")]


class Naming(Case):
    def test_default_names_are_template_and_position_in_the_current_folder(self):
        self.letter()
        self.people()
        self.run_generate("Letter.docx", "people.xlsx", expect=0)
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.endswith(".docx") and n != "Letter.docx"),
                         ["Letter_1.docx", "Letter_2.docx", "Letter_3.docx"])

    def test_field_names_are_cleaned_cut_and_made_unique(self):
        self.letter()
        self.people([["Name", "City"], ["a/b:c", "x"], ["Ann", "y"], ["ann", "y"], ["Ñandú Ωmega 漢字 abcdefghijklmnop", "w"]])
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", "--name-field", "City", expect=0)
        names = [w["name"] for w in summary["written"]]
        # Cut to 20 code points, not bytes; a repeat differing only in case gets " (2)".
        self.assertEqual(names, ["a_b_c_x.docx", "Ann_y.docx", "ann_y (2).docx", "Ñandú Ωmega 漢字 abcde_w.docx"])
        self.assertEqual(sorted(os.listdir(self.path("out"))), sorted(names))

    def test_pattern_gives_prefix_fields_date_row_and_suffix(self):
        self.letter()
        self.people()
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-pattern", "Invoice_{Name}_{date:YYYY-MM-DD}_{row}_final", expect=0)
        for w in summary["written"]:
            self.assertRegex(w["name"], r"^Invoice_[A-Za-z]+_\d{4}-\d\d-\d\d_%d_final\.docx$" % w["row"])

    def test_every_part_empty_gives_row_and_position(self):
        self.letter()
        self.people([["Name", "City"], ["", "x"], ["", "y"]])
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", expect=0)
        self.assertEqual([w["name"] for w in summary["written"]], ["row1.docx", "row2.docx"])

    def test_bad_naming_options_are_refused_before_anything_is_read(self):
        for args in (["--name-pattern", "{Name}-{City}"], ["--name-pattern", "{row}_{Name}"], ["--date", "DDMMYYYY"],
                     ["--prefix", "x"], ["-o", "a", "--zip", "b.zip"], ["--images", "1=photo"], ["--bogus"]):
            done = self.run_generate("missing.docx", "missing.xlsx", *args, expect=64)
            self.assertIn("papyrant generate:", done.stderr)
        self.assertEqual(os.listdir(self.dir), [])

    def test_a_name_field_the_sheet_lacks_is_an_error(self):
        self.letter()
        self.people()
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Nmae", expect=2)
        self.assertEqual(summary["error"]["key"], "batch.errUnknownField")
        self.assertFalse(os.path.exists(self.path("out", "row1.docx")))


class Contents(Case):
    def test_values_fill_body_and_header_and_missing_placeholders_warn(self):
        make_template(self.path("T.docx"), ["To {Name} in {City}: {Missing}.", "Fixed text."], header="Ref {Ref}")
        make_sheet(self.path("s.xlsx"), [["Name", "City", "Ref"], ["Zoë Ünal", "Kraków", "R-1"], ["李雷", "北京", "R-2"]])
        summary = self.run_json("T.docx", "s.xlsx", "-o", "out", expect=0)
        self.assertEqual([w["key"] for w in summary["warnings"]], ["generator.warnPlaceholderMissing"])
        self.assertEqual(summary["warnings"][0]["fields"], ["Missing"])
        self.assertEqual(body_text(self.path("out", "T_1.docx")), "To Zoë Ünal in Kraków: .Fixed text.")
        self.assertEqual(body_text(self.path("out", "T_2.docx")), "To 李雷 in 北京: .Fixed text.")
        self.assertEqual(body_text(self.path("out", "T_2.docx"), "word/header1.xml"), "Ref R-2")

    def test_a_lone_surrogate_in_a_cell_does_not_cut_the_document(self):
        # "_xD800_" is the workbook escape of a lone UTF-16 surrogate, which no UTF-8 text can hold.
        self.letter(["Start {Name} end", "After"])
        self.people([["Name", "City"], ["a_xD800_b", "x"]])
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", expect=0)
        name = summary["written"][0]["name"]
        self.assertEqual(name, "a\ufffdb.docx")
        self.assertEqual(body_text(self.path("out", name)), "Start a\ufffdb endAfter")

    def test_numbers_and_dates_come_out_as_the_sheet_shows_them(self):
        self.letter(["{Amount} on {When}"])
        book = openpyxl.Workbook()
        ws = book.active
        ws.append(["Amount", "When"])
        ws.append([1234.5, "2024-05-01"])
        ws["A2"].number_format = "#,##0.00"
        book.save(self.path("n.xlsx"))
        self.run_generate("Letter.docx", "n.xlsx", "-o", "out", expect=0)
        self.assertEqual(body_text(self.path("out", "Letter_1.docx")), "1,234.50 on 2024-05-01")

    def test_empty_rows_are_skipped_and_rows_keep_their_positions(self):
        self.letter(["{Name}"])
        self.people([["Name", "City"], ["A", "1"], [None, None], ["B", "2"]])
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", expect=0)
        self.assertEqual([(w["row"], w["name"]) for w in summary["written"]], [(1, "Letter_1.docx"), (2, "Letter_2.docx")])
        self.assertEqual(body_text(self.path("out", "Letter_2.docx")), "B")

    def test_chosen_worksheet_is_read(self):
        self.letter(["{Name}"])
        make_sheet(self.path("s.xlsx"), [["Name"], ["first"]], extra={"Second": [["Name"], ["second"]]})
        self.run_generate("Letter.docx", "s.xlsx", "-o", "out", "--sheet", "Second", expect=0)
        self.assertEqual(body_text(self.path("out", "Letter_1.docx")), "second")
        summary = self.run_json("Letter.docx", "s.xlsx", "-o", "out2", "--sheet", "Third", expect=2)
        self.assertEqual(summary["error"]["key"], "batch.errSheetNotFound")


class Formats(Case):
    def generated_names(self, sheet, *args):
        summary = self.run_json("Letter.docx", sheet, "-o", "out", *args, expect=0)
        return [body_text(self.path("out", w["name"])) for w in summary["written"]]

    def test_old_excel_and_opendocument_sheets(self):
        self.letter(["{Name}/{City}"])
        rows = json.dumps([["Name", "City"], ["Åsa", "Umeå"], ["Bo", "Luleå"]])
        page_tool("workbook", self.path("s.xls"), rows, "biff8")
        page_tool("workbook", self.path("s.ods"), rows, "ods")
        self.assertEqual(self.generated_names("s.xls"), ["Åsa/Umeå", "Bo/Luleå"])
        shutil.rmtree(self.path("out"))
        self.assertEqual(self.generated_names("s.ods"), ["Åsa/Umeå", "Bo/Luleå"])

    def test_csv_with_and_without_byte_order_mark_comma_or_semicolon(self):
        self.letter(["{Name}|{City}|{Code}"])
        variants = {
            "plain.csv": "Name,City,Code\nJosé,\"Lyon, FR\",007\n".encode(),
            "bom.csv": "\ufeffName;City;Code\r\nJosé;Lyon, FR;007\r\n".encode(),
        }
        for name, data in variants.items():
            with open(self.path(name), "wb") as f:
                f.write(data)
            shutil.rmtree(self.path("out"), ignore_errors=True)
            # Text stays as typed: leading zeros kept, the header not mangled by the mark.
            self.assertEqual(self.generated_names(name), ["José|Lyon, FR|007"], name)

    def test_csv_that_is_not_utf8_is_refused(self):
        self.letter()
        with open(self.path("latin.csv"), "wb") as f:
            f.write("Name,City\nJos\xe9,Lyon\n".encode("latin-1"))
        summary = self.run_json("Letter.docx", "latin.csv", "-o", "out", expect=2)
        self.assertEqual(summary["error"]["key"], "batch.errNotUtf8")


class Images(Case):
    def test_pictures_of_a_column_go_into_their_tag_at_their_size(self):
        make_template(self.path("P.docx"), ["Photo: {%photo}", "Name: {Name}"])
        rows = json.dumps([["Name", "Pic"], ["A", ""], ["B", ""], ["C", ""]])
        # Pictures on sheet rows 2 and 4 in column B; row 3 has none.
        page_tool("pictures", self.path("p.xlsx"), rows, json.dumps([{"row0": 1, "col0": 1, "variant": 0}, {"row0": 3, "col0": 1, "variant": 1}]))
        summary = self.run_json("P.docx", "p.xlsx", "-o", "out", "--images", "B=photo@120x60", expect=0)
        self.assertEqual(len(summary["written"]), 3)
        with zipfile.ZipFile(self.path("out", "P_1.docx")) as z:
            media = [n for n in z.namelist() if n.startswith("word/media/")]
            xml = z.read("word/document.xml").decode()
        self.assertEqual(len(media), 1)
        # 120 x 60 pixels in EMU (9525 per pixel).
        self.assertIn('cx="1143000" cy="571500"', xml)
        with zipfile.ZipFile(self.path("out", "P_2.docx")) as z:
            self.assertFalse([n for n in z.namelist() if n.startswith("word/media/")])
        self.assertEqual(body_text(self.path("out", "P_2.docx")), "Photo: Name: B")
        with zipfile.ZipFile(self.path("out", "P_1.docx")) as a, zipfile.ZipFile(self.path("out", "P_3.docx")) as b:
            pa = a.read([n for n in a.namelist() if n.startswith("word/media/")][0])
            pb = b.read([n for n in b.namelist() if n.startswith("word/media/")][0])
        self.assertNotEqual(pa, pb)

    def test_global_size_applies_without_a_column_size(self):
        make_template(self.path("P.docx"), ["{%image}"])
        page_tool("pictures", self.path("p.xlsx"), json.dumps([["Name"], ["A"]]), json.dumps([{"row0": 1, "col0": 2}]))
        self.run_generate("P.docx", "p.xlsx", "-o", "out", "--images", "C", "--image-size", "40x20", expect=0)
        with zipfile.ZipFile(self.path("out", "P_1.docx")) as z:
            self.assertIn('cx="381000" cy="190500"', z.read("word/document.xml").decode())


class BadInputs(Case):
    def expect_error(self, template, sheet, key):
        summary = self.run_json(template, sheet, "-o", "out", expect=2)
        self.assertEqual(summary["error"]["key"], key)
        self.assertFalse(summary["written"])
        # The output folder is made only when there is something to write.
        self.assertFalse(os.path.exists(self.path("out")))
        done = self.run_generate(template, sheet, "-o", "out", expect=2)
        self.assertIn(summary["error"]["message"], done.stderr)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return name

    def test_old_word_file_not_a_zip_and_protected_template(self):
        self.people()
        self.write("old.doc", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 600)
        self.expect_error("old.doc", "people.xlsx", "generator.errOldDocFormat")
        self.write("text.docx", b"just some text, not a document")
        self.expect_error("text.docx", "people.xlsx", "generator.errInvalidWordFormat")
        self.write("locked.docx", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 100 + "EncryptionInfo".encode("utf-16-le") + b"\0" * 100)
        self.expect_error("locked.docx", "people.xlsx", "generator.errWordProtected")
        self.write("broken.docx", b"PK\x03\x04" + b"\0" * 40)
        self.expect_error("broken.docx", "people.xlsx", "generator.errWordCorrupted")
        self.expect_error("absent.docx", "people.xlsx", "batch.errReadFailed")

    def test_bad_sheets(self):
        self.letter()
        make_sheet(self.path("header.xlsx"), [["Name", "City"]])
        self.expect_error("Letter.docx", "header.xlsx", "generator.errExcelEmpty")
        make_sheet(self.path("noheader.xlsx"), [[None, None], ["x", "y"]])
        self.expect_error("Letter.docx", "noheader.xlsx", "generator.errExcelNoHeader")
        self.write("locked.xlsx", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 100 + "EncryptionInfo".encode("utf-16-le") + b"\0" * 100)
        self.expect_error("Letter.docx", "locked.xlsx", "generator.errExcelProtected")
        self.write("text.xlsx", b"Name,City\nx,y\n")
        self.expect_error("Letter.docx", "text.xlsx", "generator.errExcelCorrupted")
        self.write("sheet.txt", b"Name,City\nx,y\n")
        self.expect_error("Letter.docx", "sheet.txt", "generator.errInvalidExcel")

    def test_oversized_template_and_an_output_that_is_a_file(self):
        self.people()
        self.write("big.docx", b"PK\x03\x04" + b"\0" * (10 * 1024 * 1024))
        self.expect_error("big.docx", "people.xlsx", "generator.sizeError")
        self.letter()
        self.write("out", b"a file, not a folder")
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", expect=2)
        self.assertEqual(summary["error"]["key"], "batch.errOutputFailed")
        self.assertIn("not a folder", summary["error"]["detail"])

    def test_template_syntax_error_is_reported(self):
        make_template(self.path("Bad.docx"), ["Hello {Name"])
        self.people()
        self.expect_error("Bad.docx", "people.xlsx", "generator.errTemplateSyntax")


class Summary(Case):
    def test_json_summary_of_a_run_where_every_row_succeeds(self):
        self.letter(["{Name} {Extra}"])
        self.people([["Name", "Unused"], ["A", ""], [None, "only here"], ["B", ""]])
        done = self.run_generate("Letter.docx", "people.xlsx", "-o", "out", "--json", expect=0)
        self.assertEqual(done.stderr, "")
        summary = json.loads(done.stdout)
        self.assertTrue(summary["ok"])
        self.assertEqual((summary["rows"], summary["exitCode"], summary["outputKind"], summary["output"]), (3, 0, "folder", "out"))
        self.assertEqual(summary["written"], [{"row": 1, "name": "Letter_1.docx"}, {"row": 2, "name": "Letter_2.docx"}, {"row": 3, "name": "Letter_3.docx"}])
        self.assertEqual([(w["key"], w["fields"]) for w in summary["warnings"]], [("generator.warnPlaceholderMissing", ["Extra"])])
        self.assertEqual(summary["warnings"][0]["message"], "1 placeholder(s) have no matching column and will stay empty: Extra")
        self.assertEqual((summary["errors"], summary["error"]), ([], None))

    def unwritable_row_setup(self):
        self.letter(["{Name}"])
        # The second row's name is a folder that already exists: writing it fails, the others not.
        self.people([["Name"], ["one"], ["two"], ["three"]])
        os.makedirs(self.path("out", "two.docx"))

    def test_inputs_are_never_replaced_by_outputs(self):
        # A row named like the template, in the template's own folder, fails alone.
        self.letter(["{Name}"])
        self.people([["Name"], ["Letter"], ["people.xlsx"], ["other"]])
        with open(self.path("Letter.docx"), "rb") as f:
            template = f.read()
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", ".", "--name-field", "Name", expect=1)
        self.assertEqual([w["name"] for w in summary["written"]], ["people.xlsx.docx", "other.docx"])
        self.assertEqual(summary["errors"][0]["row"], 1)
        self.assertIn("input file", summary["errors"][0]["detail"])
        with open(self.path("Letter.docx"), "rb") as f:
            self.assertEqual(f.read(), template)
        summary = self.run_json("Letter.docx", "people.xlsx", "--zip", "people.xlsx", expect=2)
        self.assertEqual(summary["error"]["key"], "batch.errOutputFailed")
        with zipfile.ZipFile(self.path("people.xlsx")) as z:
            self.assertIn("xl/workbook.xml", z.namelist())

    def test_a_failed_row_does_not_stop_the_others(self):
        self.unwritable_row_setup()
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", expect=1)
        self.assertFalse(summary["ok"])
        self.assertEqual([w["name"] for w in summary["written"]], ["one.docx", "three.docx"])
        self.assertEqual(len(summary["errors"]), 1)
        error = summary["errors"][0]
        self.assertEqual((error["row"], error["sheetRow"], error["key"]), (2, 3, "lic.fileWriteError"))
        self.assertIn("two.docx", error["detail"])
        self.assertEqual(self.leftovers(self.path("out")), [])
        done = self.run_generate("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", expect=1)
        self.assertIn("row 2 (sheet row 3): An error occurred while writing the file.", done.stderr)
        self.assertIn("2 documents of 3 written", done.stderr)

    def test_fail_fast_stops_at_the_first_failed_row(self):
        self.unwritable_row_setup()
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", "--fail-fast", expect=1)
        self.assertTrue(summary["stopped"])
        self.assertEqual([w["name"] for w in summary["written"]], ["one.docx"])
        self.assertFalse(os.path.exists(self.path("out", "three.docx")))

    def test_every_row_failing_is_status_two(self):
        self.letter(["{Name}"])
        self.people([["Name"], ["x"]])
        os.makedirs(self.path("out", "x.docx"))
        summary = self.run_json("Letter.docx", "people.xlsx", "-o", "out", "--name-field", "Name", expect=2)
        self.assertEqual(summary["error"]["key"], "generator.errNothingGenerated")

    def test_quiet_when_not_a_terminal_and_help(self):
        self.letter()
        self.people()
        done = self.run_generate("Letter.docx", "people.xlsx", "-o", "out", expect=0)
        self.assertEqual(done.stdout, "")
        self.assertNotIn("\r", done.stderr)
        self.assertEqual(done.stderr.strip(), "3 documents of 3 written into out.")
        help_text = self.run_generate("--help", expect=0).stdout
        self.assertIn("--name-pattern", help_text)


class Terminal(Case):
    def test_progress_bar_on_a_terminal(self):
        import pty
        self.letter(["{Name}"])
        self.people([["Name"]] + [[f"n{i}"] for i in range(40)])
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execve(PAPYRANT, [PAPYRANT, "generate", "Letter.docx", "people.xlsx", "-o", "out"], env)
        output = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        text = output.decode()
        self.assertRegex(text, r"\r\[#{30}\] 40/40 +\d+ rows/s")
        self.assertIn("40 documents of 40 written into out.", text)

    def test_interrupt_removes_the_unfinished_archive(self):
        import signal
        import time
        make_template(self.path("Letter.docx"), ["{Name}"])
        self.people([["Name"]] + [[f"n{i}"] for i in range(4000)])
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        run = subprocess.Popen([PAPYRANT, "generate", "Letter.docx", "people.xlsx", "--zip", "all.zip", "--json"], cwd=self.dir, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Wait for the archive's temporary file, i.e. for rows being written.
        while run.poll() is None and not [n for n in os.listdir(self.dir) if n.startswith(".all.zip")]:
            time.sleep(0.01)
        run.send_signal(signal.SIGINT)
        out, _ = run.communicate(timeout=120)
        summary = json.loads(out)
        if not summary["cancelled"]:
            self.skipTest("the run ended before the interrupt arrived")
        self.assertEqual(run.returncode, 2)
        self.assertEqual((summary["error"]["key"], summary["written"]), ("batch.cancelled", []))
        self.assertFalse(os.path.exists(self.path("all.zip")))
        self.assertEqual(self.leftovers(self.dir), [])


class Archive(Case):
    def test_archive_holds_every_document_stored_with_unicode_names(self):
        self.letter(["{Name} {City}"])
        self.people([["Name", "City"], ["Ærø", "Ø"], ["Ben", "R"], ["Ærø", "Q"]])
        summary = self.run_json("Letter.docx", "people.xlsx", "--zip", "sub/dir/all.zip", "--name-field", "Name", expect=0)
        with zipfile.ZipFile(self.path("sub", "dir", "all.zip")) as z:
            self.assertIsNone(z.testzip())
            infos = z.infolist()
            self.assertEqual([i.filename for i in infos], ["Ærø.docx", "Ben.docx", "Ærø (2).docx"])
            self.assertEqual({i.compress_type for i in infos}, {zipfile.ZIP_STORED})
            import io
            self.assertEqual(body_text(io.BytesIO(z.read("Ærø (2).docx"))), "Ærø Q")
        self.assertEqual(summary["output"], "sub/dir/all.zip")
        self.assertEqual(self.leftovers(self.path("sub", "dir")), [])

    def test_no_archive_is_left_when_the_run_fails_or_stops(self):
        self.letter(["{Name}"])
        make_sheet(self.path("header.xlsx"), [["Name"]])
        self.run_generate("Letter.docx", "header.xlsx", "--zip", "all.zip", expect=2)
        self.assertFalse(os.path.exists(self.path("all.zip")))
        self.assertEqual(self.leftovers(self.dir), [])

    def test_an_existing_archive_is_replaced_whole(self):
        self.letter(["{Name}"])
        self.people()
        with open(self.path("all.zip"), "wb") as f:
            f.write(b"old")
        self.run_generate("Letter.docx", "people.xlsx", "--zip", "all.zip", expect=0)
        with zipfile.ZipFile(self.path("all.zip")) as z:
            self.assertEqual(len(z.namelist()), 3)


class SameAsPage(Case):
    """The command line and the page's generator (in Node) give identical documents."""

    def compare(self, template, sheet, args, page_options):
        self.run_generate(template, sheet, "--zip", "cli.zip", *args, expect=0)
        page_tool("page-archive", self.path("page.zip"), self.path(template), self.path(sheet), json.dumps(page_options))
        with zipfile.ZipFile(self.path("cli.zip")) as cli, zipfile.ZipFile(self.path("page.zip")) as page:
            self.assertEqual(cli.namelist(), page.namelist())
            import io
            for name in cli.namelist():
                with zipfile.ZipFile(io.BytesIO(cli.read(name))) as a, zipfile.ZipFile(io.BytesIO(page.read(name))) as b:
                    self.assertEqual(a.namelist(), b.namelist(), name)
                    for part in a.namelist():
                        self.assertEqual(a.read(part), b.read(part), f"{name}: {part}")
        return cli

    def test_identical_documents_for_text_unicode_and_naming(self):
        make_template(self.path("Cert.docx"), ["Certificate for {Name}", "from {City}, {Missing}", "Fixed line", "Score {Score}"], header="{Ref}")
        rows = [["Name", "City", "Score", "Ref"]] + [[f"Person {i} ✓ Ωλ", f"Zürich {i % 3}", i * 1.5, f"R-{i}"] for i in range(1, 30)]
        rows.append(["Dup", "a<b>&c", 1, "R"])
        rows.append(["Dup", "line1\nline2", 2, "R"])
        rows.append(["Lone_xD800_surrogate", "x", 3, "R"])
        make_sheet(self.path("s.xlsx"), rows)
        self.compare("Cert.docx", "s.xlsx", ["--name-field", "Name", "--row-number"],
                     {"namingRule": "custom", "selectedFields": ["Name"], "includeRowNumber": True, "dateFormat": "none"})

    def test_identical_documents_for_the_rich_template_and_pictures(self):
        page_tool("rich-template", self.path("Rich.docx"))
        rows = [["Name", "City", "Course", "Date", "Score", "Ref"]] + [[f"P{i}", "C", "Course", "2024-05-01", str(i), f"R{i}"] for i in range(1, 6)]
        make_sheet(self.path("r.xlsx"), rows)
        self.compare("Rich.docx", "r.xlsx", [], {})
        make_template(self.path("P.docx"), ["{%photo} {Name}"])
        page_tool("pictures", self.path("p.xlsx"), json.dumps([["Name"], ["A"], ["B"]]), json.dumps([{"row0": 1, "col0": 1}, {"row0": 2, "col0": 1, "variant": 1}]))
        self.compare("P.docx", "p.xlsx", ["--images", "B=photo@30x40"],
                     {"imageColumns": ["B"], "imageColumnTags": {"B": "photo"}, "imageColumnSizes": {"B": {"width": 30, "height": 40}}})


if __name__ == "__main__":
    PAPYRANT = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]])
