"""The pieces of the report's page: its style, HTML cells, tables and
figures, what a section hands back (`Part`) and where it draws (`Output`)."""

import html
import os
from dataclasses import dataclass
from typing import Callable, Iterable, Optional, Sequence, Tuple

CSS = """
body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; color: #1d1d1f; margin: 0;
       background: #fafafa; line-height: 1.45; }
header { background: #243447; color: white; padding: 18px 32px 14px; }
header h1 { margin: 0 0 4px; font-size: 24px; }
header p { margin: 0; color: #c9d6e3; font-size: 13px; }
nav { background: #e9eef3; padding: 8px 32px; font-size: 13px; border-bottom: 1px solid #d0d7de; }
nav a { margin-right: 16px; color: #243447; text-decoration: none; }
main { max-width: 1240px; margin: 0 auto; padding: 8px 32px 40px; }
section { background: white; border: 1px solid #e1e4e8; border-radius: 6px; padding: 4px 20px 16px;
          margin: 18px 0; }
h2 { font-size: 19px; border-bottom: 1px solid #e1e4e8; padding-bottom: 6px; }
h3 { font-size: 15px; margin-bottom: 6px; }
p.lead { color: #444; max-width: 980px; font-size: 14px; }
table { border-collapse: collapse; font-size: 13px; margin: 8px 0 12px; }
th, td { border: 1px solid #d8dee4; padding: 4px 10px; text-align: left; vertical-align: top; }
th { background: #f1f4f7; font-weight: 600; }
td.num { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; font-family: "DejaVu Sans Mono", monospace; }
tr.muted td { color: #6a737d; font-style: italic; }
figure { margin: 12px 0 18px; }
figure img { max-width: 100%; height: auto; border: 1px solid #eef0f2; }
figcaption { font-size: 13px; color: #444; margin-top: 4px; max-width: 1100px; }
figcaption a.csv { white-space: nowrap; margin-left: 4px; }
.warn { background: #fff4e5; border: 1px solid #f0b35a; padding: 8px 12px; border-radius: 4px; }
.error { background: #fdecea; border: 1px solid #e0796f; padding: 8px 12px; border-radius: 4px; }
code { font-family: "DejaVu Sans Mono", monospace; font-size: 12.5px; background: #f3f4f6;
       padding: 0 3px; border-radius: 3px; }
"""


@dataclass(frozen=True)
class Output:
    """Where the sections draw their figures, and how much they show."""
    out_dir: str
    examples: int = 12                            # example events at most
    say: Callable[[str], None] = lambda msg: None  # progress on the console

    def path(self, name: str) -> str:
        return os.path.join(self.out_dir, name)


@dataclass(frozen=True)
class Part:
    """A section's HTML and the files it wrote beside the page: its
    figures and the CSV file of each."""
    html: str
    figures: Tuple[str, ...] = ()


def part(chunks: Sequence[str], figures: Iterable[str] = ()) -> "Part":
    return Part("\n".join(chunks), tuple(figures))


def esc(v: object) -> str:
    return html.escape(str(v))


def num(v: object, fmt: str = "{:,}") -> str:
    """A number cell; a value that is not known (NaN) shows as a dash."""
    if isinstance(v, float) and v != v:
        return '<td class="num">–</td>'
    return f'<td class="num">{esc(fmt.format(v))}</td>'


def table(header: Optional[Sequence[str]], rows: Sequence[Sequence[str]],
          classes: Optional[Sequence[str]] = None) -> str:
    out = ["<table>"]
    if header:
        out.append("<tr>" + "".join(f"<th>{h}</th>" for h in header) + "</tr>")
    for i, row in enumerate(rows):
        cls = f' class="{classes[i]}"' if classes and classes[i] else ""
        cells = "".join(c if c.startswith("<td") else f"<td>{c}</td>" for c in row)
        out.append(f"<tr{cls}>{cells}</tr>")
    out.append("</table>")
    return "\n".join(out)


def figure(src: str, alt: str, caption: str, csv: Optional[str] = None) -> str:
    """A figure with its caption; `csv`, the file of the numbers it plots,
    is linked at the caption's end."""
    link = f' <a class="csv" href="{esc(csv)}">Numbers plotted (CSV)</a>' if csv else ""
    return (f'<figure><img src="{esc(src)}" alt="{esc(alt)}">'
            f"<figcaption>{caption}{link}</figcaption></figure>")


def decay_time(rate: float) -> str:
    """The decay time −1/λ of a decay rate, in words: a rate that is not
    negative (a calibration on fits that did not decay) has none."""
    return f"decay time {-1.0 / rate:,.1f} samples" if rate < 0 else "no decay time: not negative"


def pct(part: float, whole: Optional[float]) -> str:
    return "–" if not whole else f"{100.0 * part / whole:.2f} %"
