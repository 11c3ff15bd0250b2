"""The run summary "zorv_mpi.summary.json" as a checked dict (see
`read_summary`), and the outcomes of a channel that it counts."""

import json
from typing import Any, Callable, Dict, List

from .vocabulary import OUTCOME_KEYS, PHASE_STATES, PHASES, RUN_STATUSES

# What became of a channel, as the summary counts it per phase and channel:
# its key there and what it means.
OUTCOMES = tuple(zip(OUTCOME_KEYS, (
    "fitted",
    "no peak above 500",
    "3 or more peaks",
    "two peaks closer than 200 samples",
    "a single peak before sample 200",
    "fit step not finite",
    "fit not converged in 50 iterations",
    "residual sum of squares 0",
)))


def _is_count(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and v >= 0


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _check_summary(path: Any, s: Any) -> None:
    def need(where: str, value: Any, ok: bool, want: str) -> None:
        if not ok:
            shown = json.dumps(value)
            shown = shown if len(shown) <= 40 else shown[:37] + "..."
            raise ValueError(f"{path}: {where} is {shown}: expected {want}; the summary is damaged")

    def key(obj: Dict[str, Any], name: str, where: str) -> Any:
        if name not in obj:
            raise ValueError(f"{path}: no {where}{name}: the summary is damaged")
        return obj[name]

    def pair(obj: Dict[str, Any], name: str, where: str, ok: Callable[[Any], bool],
             want: str) -> List[Any]:
        v = key(obj, name, where)
        need(where + name, v, isinstance(v, list) and len(v) == 2 and all(ok(x) for x in v), want)
        return v

    need("the summary", s, isinstance(s, dict), "an object")
    need("status", key(s, "status", ""), s["status"] in RUN_STATUSES, " or ".join(RUN_STATUSES))
    if "stopped_by" in s:
        need("stopped_by", s["stopped_by"], isinstance(s["stopped_by"], str), "a signal's name")
    for name in ("version", "started"):
        need(name, key(s, name, ""), isinstance(s[name], str), "text")
    need("ranks", key(s, "ranks", ""), _is_count(s["ranks"]), "a whole number")
    hosts = key(s, "hosts", "")
    need("hosts", hosts, isinstance(hosts, list) and len(hosts) == s["ranks"]
         and all(isinstance(h, str) for h in hosts), f"a host name for each of the {s['ranks']} ranks")
    need("settings", key(s, "settings", ""), isinstance(s["settings"], dict), "an object")
    need("phase", key(s, "phase", ""), s["phase"] in PHASES, " or ".join(PHASES))
    phases = key(s, "phases", "")
    need("phases", phases, isinstance(phases, dict), "an object")
    for name in PHASES:
        p = key(phases, name, "phases.")
        at = f"phases.{name}."
        need(at[:-1], p, isinstance(p, dict), "an object")
        need(at + "state", key(p, "state", at), p["state"] in PHASE_STATES, ", ".join(PHASE_STATES))
        for field in ("events", "results", "both_good"):
            need(at + field, key(p, field, at), _is_count(p[field]), "a whole number")
        good = pair(p, "good", at, _is_count, "two whole numbers")
        need(at + "seconds", key(p, "seconds", at), _is_number(p["seconds"]) and p["seconds"] >= 0,
             "a number of seconds")
        need(at + "good", good, max(good) <= p["results"] and p["both_good"] <= min(good),
             f"no more than the results ({p['results']}) and no fewer than both_good "
             f"({p['both_good']})")
        outcomes = key(p, "outcomes", at)
        need(at + "outcomes", outcomes, isinstance(outcomes, list) and len(outcomes) == 2
             and all(isinstance(o, dict) for o in outcomes), "an object for each channel")
        for c, counts in enumerate(outcomes):
            where = f"{at}outcomes[{c}]."
            for reason, _ in OUTCOMES:
                need(where + reason, key(counts, reason, where), _is_count(counts[reason]),
                     "a whole number")
            # A run resumed from a checkpoint that kept no outcomes counts
            # only what it did since: the counts may fall short, never over.
            total = sum(counts[reason] for reason, _ in OUTCOMES)
            need(f"{at}outcomes[{c}]", counts, total <= p["results"] and counts["fitted"] <= good[c],
                 f"counts that add up to at most the results ({p['results']}) and fits to at most "
                 f"the good ones ({good[c]})")
    rates = key(s, "decay_rates", "")
    need("decay_rates", rates, rates is None or (isinstance(rates, list) and len(rates) == 2
                                                 and all(_is_number(r) for r in rates)),
         "null or two decay rates")
    if s["phase"] == PHASES[1]:  # the processing phase
        need("decay_rates", rates, rates is not None, "the calibrated decay rates in the processing "
             "phase")
    need("events_lost", key(s, "events_lost", ""), isinstance(s["events_lost"], bool), "true or false")
    # Written by a newer zorv_mpi only.
    if "exp" in s:
        need("exp", s["exp"], isinstance(s["exp"], str), "text")
    if "raw_files" in s:
        files = s["raw_files"]
        need("raw_files", files, isinstance(files, dict)
             and all(isinstance(v, str) for v in files.values()),
             "an object of raw file names and their states")
    if "warnings" in s:
        lines = s["warnings"]
        need("warnings", lines, isinstance(lines, list) and all(isinstance(v, str) for v in lines),
             "a list of lines")


def read_summary(path: Any) -> Dict[str, Any]:
    """The run summary "zorv_mpi.summary.json" that zorv_mpi writes whole at
    every checkpoint, at the end of each phase, on a stop and at the end of
    the run, as a dict:
    "status" (running, finished, stopped, error), "stopped_by", "version",
    "started", "ranks", "hosts", "settings", "phase", and per phase in
    "phases" its "state", "events", "results", "good" [A, B], "both_good",
    "outcomes" [{reason: count} for A, for B] (reasons: `OUTCOMES`) and
    "seconds"; then "decay_rates" (None before the calibration) and
    "events_lost"; from a newer zorv_mpi also "exp" (how the workers
    computed exp), "raw_files" ({name: "size S, modified T" or "missing"}
    as the run first opened them) and "warnings" (the lines it printed).
    Raises ValueError for text that is not JSON (a file cut
    short) or a key that is missing or of the wrong kind, naming the key."""
    from .files import _read_text  # files imports this module: see its end
    text = _read_text(path)

    def refuse(word: str) -> Any:
        raise ValueError(f"{word} is not a JSON number")

    try:
        summary = json.loads(text, parse_constant=refuse)
        _check_summary(path, summary)
    except ValueError as e:
        if not isinstance(e, json.JSONDecodeError) and str(e).startswith(f"{path}: "):
            raise  # the check's own message
        where, why = ((f"line {e.lineno}: ", e.msg) if isinstance(e, json.JSONDecodeError)
                      else ("", str(e)))
        raise ValueError(f"{path}: {where}not a run summary ({why}): the file is damaged or cut "
                         "short") from None
    except RecursionError:
        # zorv_mpi nests its summary three levels deep; JSON nested deeper
        # than Python's stack (decoding, or showing a value in a message)
        # is no summary.
        raise ValueError(f"{path}: not a run summary (nested too deeply): the file is "
                         "damaged") from None
    return summary
