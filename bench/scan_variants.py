#!/usr/bin/python3
"""Makes the scans a compression benchmark needs from one grey page picture.

usage: scan_variants.py PAGE.pgm OUT-PREFIX

Writes OUT-PREFIX-colour.png (cream paper with grain, blue-black ink, a red
seal), OUT-PREFIX-photocopy.png (low contrast, toner noise) and
OUT-PREFIX-bilevel.png (thresholded, as a fax or a black-and-white scanner
stores a page).
"""
import math
import sys

from PIL import Image, ImageChops, ImageDraw


def grain(size, sigma):
    return Image.effect_noise(size, sigma)


def colour(page):
    ink = page.point(lambda v: 255 - v)  # 255 where the ink is darkest
    paper = Image.merge("RGB", [Image.new("L", page.size, c) for c in (246, 241, 228)])
    paper = ImageChops.add(paper, Image.merge("RGB", [grain(page.size, 4)] * 3), 1, -128)
    blue_black = Image.new("RGB", page.size, (28, 34, 62))
    result = Image.composite(blue_black, paper, ink)
    # A round red seal with a star, over the upper right of the text.
    seal = Image.new("L", page.size, 0)
    draw = ImageDraw.Draw(seal)
    cx, cy, r = page.size[0] * 3 // 4, page.size[1] // 6, 260
    draw.ellipse((cx - r, cy - r, cx + r, cy + r), outline=200, width=22)
    star = [(cx + 90 * math.cos(math.pi / 2 + i * 4 * math.pi / 5),
             cy - 90 * math.sin(math.pi / 2 + i * 4 * math.pi / 5)) for i in range(5)]
    draw.polygon(star, fill=200)
    red = Image.new("RGB", page.size, (205, 32, 38))
    return Image.composite(red, result, seal)


def photocopy(page):
    flat = page.point(lambda v: int(112 + v * 0.45))
    return ImageChops.add(flat, grain(page.size, 7), 1, -128)


def bilevel(page):
    return page.point(lambda v: 255 if v >= 160 else 0).convert("1")


def main():
    page = Image.open(sys.argv[1]).convert("L")
    prefix = sys.argv[2]
    colour(page).save(prefix + "-colour.png")
    photocopy(page).save(prefix + "-photocopy.png")
    bilevel(page).save(prefix + "-bilevel.png")


if __name__ == "__main__":
    main()
