#!/usr/bin/env python3
"""Draws the download window's icons and bitmaps with nothing but the standard
library and writes them beside this script:

  icon_ended.ico (102), icon_running.ico (115), icon_stopped.ico (117):
      32 x 32 and 16 x 16, 32-bit with alpha;
  toolbar.bmp (114): 4 images of 16 x 15 (resume, stop, scroll lock, settings);
  log_kinds.bmp (106): 8 images of 16 x 15, one per log row kind.

The bitmaps are 24-bit with white as the transparent colour (the image lists
are created with white as their mask colour). The outputs are committed, so
the build never runs this script: run it by hand after changing the artwork.
"""
import math
import os
import struct

WHITE = (255, 255, 255)


class Canvas:
    def __init__(self, w, h, bg=None):
        self.w, self.h = w, h
        self.px = [[bg for _ in range(w)] for _ in range(h)]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.set(x, y0, c)
            self.set(x, y1, c)
        for y in range(y0, y1 + 1):
            self.set(x0, y, c)
            self.set(x1, y, c)

    def disc(self, cx, cy, r, c, ring=None):
        for y in range(self.h):
            for x in range(self.w):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                if d <= r:
                    self.set(x, y, ring if ring and d > r - 1.1 else c)

    def poly(self, pts, c, edge=None):
        # Even-odd fill sampled at pixel centres; optional darker outline.
        inside = [[False] * self.w for _ in range(self.h)]
        for y in range(self.h):
            for x in range(self.w):
                px, py = x + 0.5, y + 0.5
                n, j = False, len(pts) - 1
                for i in range(len(pts)):
                    xi, yi = pts[i]
                    xj, yj = pts[j]
                    if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
                        n = not n
                    j = i
                inside[y][x] = n
        for y in range(self.h):
            for x in range(self.w):
                if not inside[y][x]:
                    continue
                border = any(
                    not (0 <= x + dx < self.w and 0 <= y + dy < self.h and inside[y + dy][x + dx])
                    for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
                self.set(x, y, edge if edge and border else c)

    def blit(self, other, ox, oy):
        for y in range(other.h):
            for x in range(other.w):
                if other.px[y][x] is not None:
                    self.set(ox + x, oy + y, other.px[y][x])


def scaled(points, s, dx=0.0, dy=0.0):
    return [(x * s + dx, y * s + dy) for x, y in points]


# --- glyphs, drawn on a 16-unit grid and scaled -----------------------------

def arrow_down(cv, s, body, edge, dy=0.0):
    pts = [(5.5, 1), (10.5, 1), (10.5, 7), (14, 7), (8, 14), (2, 7), (5.5, 7)]
    cv.poly(scaled(pts, s, 0, dy * s), body, edge)


def arrow_up(cv, s, body, edge):
    pts = [(8, 1), (14, 8), (10.5, 8), (10.5, 14), (5.5, 14), (5.5, 8), (2, 8)]
    cv.poly(scaled(pts, s), body, edge)


def tray(cv, s, c):
    cv.rect(int(1 * s), int(14 * s), int(15 * s) - 1, int(15.2 * s), c)


def icon_ended(size):
    cv = Canvas(size, size)
    s = size / 16
    arrow_down(cv, s, (60, 170, 60), (20, 100, 20))
    tray(cv, s, (90, 90, 90))
    return cv


def icon_running(size):
    cv = Canvas(size, size)
    s = size / 16
    arrow_down(cv, s, (70, 130, 230), (20, 60, 160))
    tray(cv, s, (90, 90, 90))
    # Speed lines beside the arrow.
    for y in (3, 6, 9):
        cv.rect(int(0 * s), int(y * s), int(1.6 * s), int(y * s + max(0, s - 1)), (20, 60, 160))
    return cv


def icon_stopped(size):
    cv = Canvas(size, size)
    s = size / 16
    arrow_down(cv, s, (170, 170, 170), (110, 110, 110))
    tray(cv, s, (90, 90, 90))
    # A pause mark in the lower right corner.
    cv.rect(int(8 * s), int(7 * s), int(15 * s) - 1, int(14 * s) - 1, (200, 40, 30))
    cv.rect(int(9.5 * s), int(8.5 * s), int(10.8 * s), int(12.5 * s), WHITE)
    cv.rect(int(12.2 * s), int(8.5 * s), int(13.5 * s), int(12.5 * s), WHITE)
    return cv


def tool_resume():
    cv = Canvas(16, 15, WHITE)
    cv.poly([(4, 2), (13, 7.5), (4, 13)], (40, 160, 40), (20, 100, 20))
    return cv


def tool_stop():
    cv = Canvas(16, 15, WHITE)
    cv.rect(3, 3, 12, 11, (200, 40, 30))
    cv.frame(3, 3, 12, 11, (130, 20, 10))
    return cv


def tool_scroll_lock():
    cv = Canvas(16, 15, WHITE)
    dark = (60, 60, 60)
    # Shackle.
    cv.frame(5, 1, 10, 7, dark)
    cv.rect(6, 2, 9, 6, WHITE)
    # Body.
    cv.rect(3, 6, 12, 13, (220, 170, 40))
    cv.frame(3, 6, 12, 13, (140, 100, 10))
    cv.rect(7, 8, 8, 11, dark)
    return cv


def tool_settings():
    cv = Canvas(16, 15, WHITE)
    c, e = (110, 110, 120), (60, 60, 70)
    for i in range(8):
        a = i * math.pi / 4
        x, y = 7.5 + 5.6 * math.cos(a), 7 + 5.6 * math.sin(a)
        cv.rect(int(x - 0.8), int(y - 0.8), int(x + 0.8), int(y + 0.8), e)
    cv.disc(8, 7.5, 5, c, e)
    cv.disc(8, 7.5, 2, WHITE)
    return cv


def log_blank():
    return Canvas(16, 15, WHITE)


def log_info():
    cv = Canvas(16, 15, WHITE)
    cv.disc(8, 7.5, 6.5, (50, 110, 210), (20, 60, 150))
    cv.rect(7, 3, 8, 4, WHITE)
    cv.rect(7, 6, 8, 11, WHITE)
    return cv


def log_error():
    cv = Canvas(16, 15, WHITE)
    cv.disc(8, 7.5, 6.5, (210, 40, 30), (140, 20, 10))
    for i in range(-3, 4):
        for dx, dy in ((0, 0), (1, 0)):
            cv.set(8 + i + dx - 1, 7 + i + dy, WHITE)
            cv.set(8 - i + dx - 1, 7 + i + dy, WHITE)
    return cv


def log_waiting():
    cv = Canvas(16, 15, WHITE)
    cv.disc(8, 7.5, 6.5, (250, 250, 235), (40, 40, 200))
    cv.rect(7, 3, 8, 8, (40, 40, 200))
    cv.rect(8, 7, 11, 8, (40, 40, 200))
    return cv


def log_sent():
    cv = Canvas(16, 15, WHITE)
    arrow_up(cv, 15 / 16, (150, 150, 150), (70, 70, 70))
    return cv


def log_received():
    cv = Canvas(16, 15, WHITE)
    arrow_down(cv, 15 / 16, (40, 40, 40), (0, 0, 0))
    return cv


def log_warning():
    cv = Canvas(16, 15, WHITE)
    cv.poly([(8, 1), (15, 14), (1, 14)], (240, 200, 40), (120, 90, 0))
    cv.rect(7, 5, 8, 10, (40, 40, 40))
    cv.rect(7, 12, 8, 12, (40, 40, 40))
    return cv


def log_fatal():
    cv = Canvas(16, 15, WHITE)
    pts = [(5, 1), (11, 1), (15, 5), (15, 10), (11, 14), (5, 14), (1, 10), (1, 5)]
    cv.poly(pts, (230, 0, 0), (120, 0, 0))
    cv.rect(7, 3, 8, 9, WHITE)
    cv.rect(7, 11, 8, 12, WHITE)
    return cv


# --- file writers -----------------------------------------------------------

def strip(images):
    out = Canvas(16 * len(images), 15, WHITE)
    for i, im in enumerate(images):
        out.blit(im, 16 * i, 0)
    return out


def bmp24(cv):
    row = (cv.w * 3 + 3) & ~3
    data = bytearray()
    for y in range(cv.h - 1, -1, -1):
        line = bytearray()
        for x in range(cv.w):
            r, g, b = cv.px[y][x] or WHITE
            line += bytes((b, g, r))
        data += line + b"\0" * (row - len(line))
    header = struct.pack("<IiiHHIIiiII", 40, cv.w, cv.h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(data), 0, 0, 54) + header + data


def ico(canvases):
    images = []
    for cv in canvases:
        xor = bytearray()
        for y in range(cv.h - 1, -1, -1):
            for x in range(cv.w):
                p = cv.px[y][x]
                xor += bytes((p[2], p[1], p[0], 255)) if p else b"\0\0\0\0"
        mask_row = ((cv.w + 31) // 32) * 4
        mask = bytearray()
        for y in range(cv.h - 1, -1, -1):
            bits = bytearray(mask_row)
            for x in range(cv.w):
                if cv.px[y][x] is None:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        header = struct.pack("<IiiHHIIiiII", 40, cv.w, cv.h * 2, 1, 32, 0,
                             len(xor) + len(mask), 0, 0, 0, 0)
        images.append((cv.w, cv.h, header + xor + mask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, h, blob in images:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for _, _, blob in images:
        out += blob
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))

    def write(name, data):
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)

    write("icon_ended.ico", ico([icon_ended(32), icon_ended(16)]))
    write("icon_running.ico", ico([icon_running(32), icon_running(16)]))
    write("icon_stopped.ico", ico([icon_stopped(32), icon_stopped(16)]))
    write("toolbar.bmp", bmp24(strip([tool_resume(), tool_stop(), tool_scroll_lock(), tool_settings()])))
    write("log_kinds.bmp", bmp24(strip([log_blank(), log_info(), log_error(), log_waiting(),
                                        log_sent(), log_received(), log_warning(), log_fatal()])))


if __name__ == "__main__":
    main()
