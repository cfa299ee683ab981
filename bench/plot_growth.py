#!/usr/bin/env python3
"""Draws the set-up cost per item against the number of items, one line per
phase, from the JSON that zrdb_bench writes with
--benchmark_filter=growth --benchmark_out=FILE --benchmark_out_format=json.

    bench/plot_growth.py growth.json growth.svg
"""
import json
import sys

WIDTH, HEIGHT, MARGIN = 640, 400, 60
COLOURS = {"growth_create": "#1f77b4", "growth_attach": "#2ca02c", "growth_remove": "#d62728"}


def points(path):
    """{phase: [(items, us_per_item)]}, medians where there are aggregates."""
    runs = json.load(open(path))["benchmarks"]
    chosen = [r for r in runs if r.get("aggregate_name") == "median"] or [
        r for r in runs if r.get("run_type") == "iteration"]
    series = {}
    for r in chosen:
        phase, items = r["run_name"].split("/")[:2]
        series.setdefault(phase, []).append((int(items), float(r["us_per_item"])))
    return {k: sorted(v) for k, v in series.items()}


def svg(series):
    xs = sorted({x for s in series.values() for x, _ in s})
    top = max(y for s in series.values() for _, y in s) * 1.15
    def px(i):
        return MARGIN + i * (WIDTH - 2 * MARGIN) / max(len(xs) - 1, 1)
    def py(y):
        return HEIGHT - MARGIN - y * (HEIGHT - 2 * MARGIN) / top
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
           'font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>',
           f'<text x="{WIDTH / 2}" y="20" text-anchor="middle">ZRDB set-up: '
           'microseconds per item</text>',
           f'<line x1="{MARGIN}" y1="{HEIGHT - MARGIN}" x2="{WIDTH - MARGIN}" '
           f'y2="{HEIGHT - MARGIN}" stroke="black"/>',
           f'<line x1="{MARGIN}" y1="{MARGIN}" x2="{MARGIN}" y2="{HEIGHT - MARGIN}" '
           'stroke="black"/>']
    for i, x in enumerate(xs):
        out.append(f'<text x="{px(i)}" y="{HEIGHT - MARGIN + 18}" text-anchor="middle">'
                   f'{x} items</text>')
    for k in range(5):
        y = top * k / 4
        out.append(f'<text x="{MARGIN - 6}" y="{py(y) + 4}" text-anchor="end">{y:.2f}</text>')
    for n, (phase, pts) in enumerate(sorted(series.items())):
        colour = COLOURS.get(phase, "black")
        line = " ".join(f"{px(xs.index(x))},{py(y)}" for x, y in pts)
        out.append(f'<polyline points="{line}" fill="none" stroke="{colour}" stroke-width="2"/>')
        out.append(f'<text x="{WIDTH - MARGIN - 120}" y="{MARGIN + 16 * n}" fill="{colour}">'
                   f'{phase.replace("growth_", "")}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[2], "w") as f:
        f.write(svg(points(sys.argv[1])))
