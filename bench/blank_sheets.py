#!/usr/bin/python3
"""Separator sheets and near-blank pages as a 200-DPI grey scanner makes them.

usage: blank_sheets.py OUT.pdf
Pages, in order: content, grey noise, content, faint bleed-through, content,
a page number alone, content, punched holes, content, one short line,
content, a red stamp-free signature line. Sheets 2, 4, 6 and 8 are
separators; 10 and 12 are not.
"""
import io
import random
import sys

import img2pdf
from PIL import Image, ImageDraw, ImageFont

DPI = 200
W, H = int(8.27 * DPI), int(11.69 * DPI)
FONT = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"


def font(points):
    return ImageFont.truetype(FONT, int(points * DPI / 72), index=2)


def paper(seed, level=236):
    rng = random.Random(seed)
    image = Image.new("L", (W, H), level)
    pixels = image.load()
    for _ in range(W * H // 6):
        x, y = rng.randrange(W), rng.randrange(H)
        pixels[x, y] = max(0, min(255, level + rng.randint(-18, 18)))
    for _ in range(60):  # dust
        x, y = rng.randrange(W - 2), rng.randrange(H - 2)
        pixels[x, y] = 60
    return image


def content(seed):
    image = paper(seed)
    draw = ImageDraw.Draw(image)
    for line in range(30):
        draw.text((150, 200 + line * 90), "合同条款第%d条：双方应当按照约定履行各自的义务。" % line,
                  fill=25, font=font(12))
    return image


def sheet(kind, seed):
    image = paper(seed)
    draw = ImageDraw.Draw(image)
    if kind == "bleed":
        mirror = Image.new("L", (W, H), 255)
        mdraw = ImageDraw.Draw(mirror)
        for line in range(30):
            mdraw.text((150, 200 + line * 90), "背面透印的文字，第%d行" % line, fill=0, font=font(12))
        mirror = mirror.transpose(Image.FLIP_LEFT_RIGHT)
        image = Image.composite(Image.new("L", (W, H), 205), image, mirror.point(lambda v: 255 - v))
    elif kind == "number":
        draw.text((W // 2 - 40, H - 150), "- 12 -", fill=30, font=font(10))
    elif kind == "holes":
        for y in (H // 2 - 320, H // 2 + 320):
            draw.ellipse((60, y - 24, 108, y + 24), fill=70)
    elif kind == "line":
        draw.text((150, 400), "附件二", fill=25, font=font(12))
    elif kind == "signature":
        draw.text((900, 1800), "签字：", fill=25, font=font(12))
        draw.line((1080, 1840, 1500, 1840), fill=40, width=3)
    return image


def main():
    kinds = ["noise", "bleed", "number", "holes", "line", "signature"]
    pages = []
    for i, kind in enumerate(kinds):
        pages.append(content(100 + i))
        pages.append(sheet(kind, 200 + i))
    jpegs = []
    for page in pages:
        data = io.BytesIO()
        page.save(data, "JPEG", quality=80, dpi=(DPI, DPI))
        jpegs.append(data.getvalue())
    with open(sys.argv[1], "wb") as out:
        out.write(img2pdf.convert(jpegs))


if __name__ == "__main__":
    main()
