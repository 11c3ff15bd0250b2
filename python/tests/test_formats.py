"""The package's record layouts against formats/record_format.h, the header
zorv_gen, zorv_mpi and zorv_spectra are built with: a change on one side
must be made on the other."""

import re

from conftest import ROOT
from zorv import files


def header_constants(text):
    """The header's `constexpr int` and `constexpr double` constants, each
    value evaluated in file order from numbers, + - * ( ) and the constants
    before it."""
    values = {}
    for kind, name, expr in re.findall(r"^constexpr (int|double) (\w+) = ([^;]+);", text, re.M):
        expr = re.sub(r"[A-Za-z_]\w*", lambda m: repr(values[m.group()]), expr)
        assert re.fullmatch(r"[\d.\s+\-*()]+", expr), f"{name} = {expr}: not a small expression"
        values[name] = (int if kind == "int" else float)(eval(expr, {"__builtins__": {}}))
    return values


def test_layouts_match_the_header():
    text = (ROOT / "formats" / "record_format.h").read_text()
    c = header_constants(text)
    keys = re.search(r"kResultFieldKeys\[\w+\] = \{(.*?)\};", text, re.S)
    fields = re.search(r"enum ResultField : int \{(.*?)\};", text, re.S)
    assert keys and fields, "kResultFieldKeys or ResultField not found in record_format.h"
    keys = tuple(re.findall(r'"(\w+)"', keys.group(1)))
    # The enum's names in position order, kFieldDecayRate -> decay_rate.
    positions = {int(v): re.sub(r"(?<!^)([A-Z])", r"_\1", n).lower()
                 for n, v in re.findall(r"kField(\w+) = (\d+)", fields.group(1))}

    assert (c["kSamples"], c["kRecordBytes"]) == (files.SAMPLES, files.RECORD_BYTES)
    assert (c["kBlockDoubles"], c["kResultBytes"]) == (len(files.RESULT_FIELDS),
                                                       files.RESULT_DTYPE.itemsize)
    assert keys == files.RESULT_FIELDS
    assert [positions[k] for k in sorted(positions)] == list(files.RESULT_FIELDS)
    assert c["kParkedPosition"] == files.PARKED_POSITION
