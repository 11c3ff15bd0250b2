"""The package's record layouts against formats/record_format.h, the header
zorv_gen, zorv_mpi and zorv_spectra are built with: a change on one side
must be made on the other."""

import re

from conftest import ROOT
from zorv import files, vocabulary


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
    assert files.PRECISION_FIELDS[c["kFieldIterations"]] == "iterations"
    assert files.PRECISION_FIELDS[1:] == tuple(f"{k}_err" for k in keys[1:])
    assert [positions[k] for k in sorted(positions)] == list(files.RESULT_FIELDS)
    assert c["kParkedPosition"] == files.PARKED_POSITION


def test_vocabulary_matches_the_header():
    """Every name, phase, status, state and outcome of formats/run_files.h,
    and the raw-event arithmetic, as zorv.vocabulary spells them."""
    text = (ROOT / "formats" / "run_files.h").read_text()
    strings = dict(re.findall(r'^constexpr char (k\w+)\[\] = "([^"]*)";', text, re.M))
    names = {"kConfigName": vocabulary.CONFIG_NAME, "kKernelName": vocabulary.KERNEL_NAME,
             "kLockName": vocabulary.LOCK_NAME, "kCheckpointName": vocabulary.CHECKPOINT_NAME,
             "kSummaryName": vocabulary.SUMMARY_NAME, "kEventsName": vocabulary.EVENTS_NAME,
             "kWorkerMarkName": vocabulary.WORKER_MARK_NAME,
             "kTemporarySuffix": vocabulary.TEMPORARY_SUFFIX}
    assert {k: strings[k] for k in names} == names
    assert tuple(strings[k] for k in ("kStatusRunning", "kStatusFinished", "kStatusStopped",
                                      "kStatusError")) == vocabulary.RUN_STATUSES
    assert tuple(v for k, v in strings.items() if k.startswith("kState")) == vocabulary.PHASE_STATES

    def array(name):
        found = re.search(name + r"\[\w+\] = \{(.*?)\};", text, re.S)
        assert found, f"{name} not found in run_files.h"
        return tuple(re.findall(r'"(\w+)"', found.group(1)))
    assert array("kPhaseNames") == vocabulary.PHASES
    assert array("kOutcomeKeys") == vocabulary.OUTCOME_KEYS
    enum = re.search(r"enum class ChannelOutcome : int \{(.*?)\};", text, re.S).group(1)
    assert len(re.findall(r"^\s+k\w+", enum, re.M)) == len(vocabulary.OUTCOME_KEYS)

    # The file names as the header's functions build them.
    for fn, template in (("raw_file_name", r'infile_path \+ "\." \+'),
                         ("result_file_name", r'abfile_path \+ std::to_string\(c\) \+ "\.bin"'),
                         ("error_file_name", r'abfile_path \+ std::to_string\(c\) \+ "\.err\.bin"'),
                         ("decay_list_name", r'"decay" \+ std::to_string\(c\) \+ "\.txt"'),
                         ("decay_histogram_name", r'"decay_hist" \+ std::to_string\(c\) \+ "\.txt"')):
        assert re.search(fn + r"\([^)]*\)\s*\{\s*return " + template, text), fn
    assert vocabulary.raw_file_name("data/run", -1) == "data/run.-1"
    assert vocabulary.result_file_name("out/ab", 1) == "out/ab1.bin"
    assert vocabulary.error_file_name("out/ab", 0) == "out/ab0.err.bin"
    assert (vocabulary.decay_list_name(0), vocabulary.decay_histogram_name(1)) == \
        ("decay0.txt", "decay_hist1.txt")
    assert "first_session + event / waveforms, event % waveforms" in text
    assert "(raw.session - first_session) * waveforms + raw.record" in text
    for first, waveforms, event, raw in ((5, 10, 0, (5, 0)), (5, 10, 23, (7, 3)),
                                         (-2, 3, 4, (-1, 1))):
        assert vocabulary.raw_event(first, waveforms, event) == raw
        assert vocabulary.event_number(first, waveforms, *raw) == event
