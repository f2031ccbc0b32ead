#!/usr/bin/env python3
"""Writes a seeded corpus of layout-like files: window blocks of a few lines each, where 20-60%
of the lines are indented <rect> or <item_rect> lines and the rest texture, text and attribute
lines.

    make_corpus.py large DIR [MEGABYTES]     one file, DIR/large.xml
    make_corpus.py small DIR [COUNT]         COUNT files of about 4 KB, DIR/wnd_NNNN.xml
    make_corpus.py minified DIR [MEGABYTES]  one file of one line, DIR/minified.xml: the large
                                             shape with its line feeds and indentation taken out
    make_corpus.py long-line DIR [MEGABYTES] one file, DIR/long_line.xml: a few rectangle lines
                                             around one line of text of that size
"""
import random
import sys

OTHER_LINES = [
    '{i}<texture>ui/{w}/{n}.dds</texture>\n',
    '{i}<text>{w} label {n}</text>\n',
    '{i}<font>normal_{n}</font>\n',
    '{i}<color>#{n:06x}</color>\n',
    '{i}<visible>1</visible>\n',
    '{i}<align>center</align>\n',
    '{i}<tooltip>Press to open {w} {n}</tooltip>\n',
]


def value(rng, limit):
    return rng.randint(0, limit) if rng.random() < 0.95 else -rng.randint(1, 64)


def rect_line(rng, indent):
    tag = 'rect' if rng.random() < 0.6 else 'item_rect'
    group = ','.join(str(value(rng, limit)) for limit in (1280, 720, 1280, 720))
    return f'{indent}<{tag}>[{group}]</{tag}>\n'


def window_block(rng, number):
    """One control: an opening line, 3-7 body lines, a closing line."""
    name = f'wnd_{number}'
    rect_share = rng.uniform(0.2, 0.6)
    lines = [f'\t<control name="{name}">\n']
    for _ in range(rng.randint(3, 7)):
        if rng.random() < rect_share:
            lines.append(rect_line(rng, '\t\t'))
        else:
            lines.append(rng.choice(OTHER_LINES).format(i='\t\t', w=name, n=rng.randint(0, 99999)))
    lines.append('\t</control>\n')
    return ''.join(lines)


def layout(rng, size):
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<window>\n']
    written = len(parts[0])
    number = 0
    while written < size:
        block = window_block(rng, number)
        parts.append(block)
        written += len(block)
        number += 1
    parts.append('</window>\n')
    return ''.join(parts)


def main():
    shape, directory = sys.argv[1], sys.argv[2]
    rng = random.Random(20261207)
    if shape == 'large':
        megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 75
        with open(f'{directory}/large.xml', 'w') as out:
            for _ in range(megabytes):
                out.write(layout(rng, 1024 * 1024 - 4096))
    elif shape == 'minified':
        megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 64
        with open(f'{directory}/minified.xml', 'w') as out:
            for _ in range(megabytes):
                out.write(layout(rng, 1024 * 1024).replace('\n', '').replace('\t', ''))
    elif shape == 'long-line':
        megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 100
        with open(f'{directory}/long_line.xml', 'w') as out:
            out.write(window_block(rng, 0) + '\t<text>')
            for _ in range(megabytes):
                out.write('lorem ipsum ' * (1024 * 1024 // 12) + 'lorem ipsu')
            out.write('</text>\n' + window_block(rng, 1))
    else:
        for number in range(int(sys.argv[3]) if len(sys.argv) > 3 else 2000):
            with open(f'{directory}/wnd_{number:04d}.xml', 'w') as out:
                out.write(layout(rng, 4000))


if __name__ == '__main__':
    main()
