"""A self-contained SVG bar chart of the benchmark's ratio tables: for each
workload, one bar per peer, how many times faster sorbek_accel is (log
scale, the line at 1x marks parity)."""

from __future__ import annotations

import html
import math

PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f"]


def svg(sections: list[tuple[str, list[str], list[tuple[str, list[float | None]]]]], title: str) -> str:
    """sections: (heading, peer names, [(workload, ratio per peer or None)])."""
    width, label_w, bar_h, gap = 980, 300, 9, 8
    lo, hi = 0.05, 100.0  # ratio axis, log scale
    plot_w = width - label_w - 40

    def x(ratio: float) -> float:
        r = min(max(ratio, lo), hi)
        return label_w + plot_w * (math.log10(r) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    out, y = [], 40
    out.append(f'<text x="{width / 2}" y="22" font-size="16" text-anchor="middle" font-weight="bold">{html.escape(title)}</text>')
    for heading, peers, rows in sections:
        y += 18
        out.append(f'<text x="10" y="{y}" font-size="14" font-weight="bold">{html.escape(heading)}</text>')
        y += 8
        for i, peer in enumerate(peers):  # legend
            lx = 10 + (i % 4) * 240
            ly = y + 14 * (i // 4) + 10
            out.append(f'<rect x="{lx}" y="{ly - 8}" width="10" height="8" fill="{PALETTE[i % len(PALETTE)]}"/>')
            out.append(f'<text x="{lx + 14}" y="{ly}" font-size="11">{html.escape(peer)}</text>')
        y += 14 * ((len(peers) + 3) // 4) + 8
        top = y
        for workload, ratios in rows:
            present = [(i, r) for i, r in enumerate(ratios) if r is not None]
            block = max(1, len(present)) * bar_h + gap
            out.append(f'<text x="{label_w - 8}" y="{y + block / 2 + 2}" font-size="11" text-anchor="end">{html.escape(workload)}</text>')
            for j, (i, r) in enumerate(present):
                x0, x1 = x(1.0), x(r)
                out.append(
                    f'<rect x="{min(x0, x1):.1f}" y="{y + j * bar_h}" width="{abs(x1 - x0):.1f}" height="{bar_h - 1}" '
                    f'fill="{PALETTE[i % len(PALETTE)]}"><title>{html.escape(peers[i])}: {r:.2f}x</title></rect>'
                )
                out.append(f'<text x="{max(x0, x1) + 3:.1f}" y="{y + j * bar_h + bar_h - 2}" font-size="8">{r:.2f}x</text>')
            y += block
        for tick in (0.1, 0.3, 1, 3, 10, 30, 100):
            tx = x(tick)
            colour = "#000" if tick == 1 else "#ccc"
            out.append(f'<line x1="{tx:.1f}" y1="{top - 4}" x2="{tx:.1f}" y2="{y}" stroke="{colour}" stroke-width="{1.5 if tick == 1 else 0.5}"/>')
            out.append(f'<text x="{tx:.1f}" y="{y + 12}" font-size="10" text-anchor="middle">{tick:g}x</text>')
        y += 24
    out.append(f'<text x="{label_w}" y="{y}" font-size="10">bars: how many times faster sorbek_accel is than each peer '
               f'(right of the black line: faster; left: slower)</text>')
    y += 10
    body = "\n".join(out)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{y}" viewBox="0 0 {width} {y}" '
            f'font-family="sans-serif">\n<rect width="100%" height="100%" fill="white"/>\n{body}\n</svg>\n')
