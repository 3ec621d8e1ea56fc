#!/usr/bin/env python3
"""Reads an .xlsx workbook as a zip of XML parts (zipfile, ElementTree) and prints, per sheet:

    sheet <name>
    cols <width of column A> <width of B> ...        (as the <cols> element gives them)
    <row number>: <cell>|<cell>|...                  (one line per row that has cells)

A cell is "n:<value>" for a number, "s:<text as a JSON string>" for a text (shared or inline;
the format's "_xHHHH_" escapes decoded), "b:<text>" for a text in the header's bold style and ""
for a missing one. Fails when a part is not well-formed XML."""
import json
import re
import sys
import xml.etree.ElementTree as ET
import zipfile

NS = {
    "m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "rel": "http://schemas.openxmlformats.org/package/2006/relationships",
}


def unescape(text):
    return re.sub(r"_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), text)


def text_of(element):
    return unescape("".join(t.text or "" for t in element.iter(f"{{{NS['m']}}}t")))


def column_index(reference):
    letters = re.match(r"[A-Z]+", reference).group(0)
    index = 0
    for letter in letters:
        index = index * 26 + ord(letter) - ord("A") + 1
    return index - 1


with zipfile.ZipFile(sys.argv[1]) as book:
    names = book.namelist()
    shared = []
    if "xl/sharedStrings.xml" in names:
        root = ET.fromstring(book.read("xl/sharedStrings.xml"))
        shared = [text_of(si) for si in root.findall("m:si", NS)]
    styles = ET.fromstring(book.read("xl/styles.xml"))
    fonts = styles.findall("m:fonts/m:font", NS)
    bold_styles = {
        i for i, xf in enumerate(styles.findall("m:cellXfs/m:xf", NS))
        if fonts[int(xf.get("fontId", "0"))].find("m:b", NS) is not None
    }
    rels = ET.fromstring(book.read("xl/_rels/workbook.xml.rels"))
    targets = {rel.get("Id"): rel.get("Target") for rel in rels.findall("rel:Relationship", NS)}
    workbook = ET.fromstring(book.read("xl/workbook.xml"))
    for sheet in workbook.findall("m:sheets/m:sheet", NS):
        print("sheet", sheet.get("name"))
        root = ET.fromstring(book.read("xl/" + targets[sheet.get(f"{{{NS['r']}}}id")]))
        widths = []
        for col in root.findall("m:cols/m:col", NS):
            for _ in range(int(col.get("min")), int(col.get("max")) + 1):
                widths.append(col.get("width"))
        print("cols", " ".join(widths))
        for row in root.findall("m:sheetData/m:row", NS):
            cells = []
            for cell in row.findall("m:c", NS):
                kind = cell.get("t", "n")
                if kind == "s":
                    value = "s:" + json.dumps(shared[int(cell.find("m:v", NS).text)],
                                              ensure_ascii=False)
                elif kind == "inlineStr":
                    value = "s:" + json.dumps(text_of(cell.find("m:is", NS)), ensure_ascii=False)
                else:
                    value = "n:" + cell.find("m:v", NS).text
                if int(cell.get("s", "0")) in bold_styles:
                    value = "b" + value[1:]
                index = column_index(cell.get("r"))
                cells += [""] * (index + 1 - len(cells))
                cells[index] = value
            print(f"{row.get('r')}: " + "|".join(cells))
