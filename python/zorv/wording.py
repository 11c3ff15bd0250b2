"""How the report words where a run stands: the boxes at the top of the
page, the header's state and records, how an unfinished run stopped, and
the warning over the sections drawn from calibration-phase records."""

from typing import List, Optional

from .page import esc
from .runview import (CALIBRATION, PROCESSING, STATE_DONE, STATUS_ERROR, STATUS_STOPPED,
                      RunView)
from .vocabulary import CHECKPOINT_NAME, CONFIG_NAME, EVENTS_NAME, SUMMARY_NAME


def stop_words(view: RunView) -> Optional[str]:
    """How the run stopped, e.g. "stopped by SIGUSR1 in the calibration
    phase after 40 of 120 events"; None for a finished run or one without a
    summary or checkpoint."""
    st = view.state
    if st is None or st.finished:
        return None
    total = view.phase_events(st.phase)
    of = f"{st.received:,} of {total:,}" if total is not None else f"{st.received:,}"
    s = view.summary
    if s and s["status"] == STATUS_STOPPED:
        how = f"stopped by {s.get('stopped_by') or 'a signal'}"
    elif s and s["status"] == STATUS_ERROR:
        how = "ended early by an error"
    elif s and s["phases"][st.phase]["state"] == STATE_DONE:
        return f"stopped or still running after the {st.phase} phase ({of} events)"
    else:
        how = "stopped or still running"
    return f"{how} in the {st.phase} phase after {of} events"


def state_words(view: RunView) -> str:
    if view.state is None:
        return "finished or not: not known"
    return "finished" if view.state.finished else "NOT FINISHED: " + (stop_words(view) or "")


def records_words(view: RunView) -> str:
    n = len(view.a)
    if view.record_phase == CALIBRATION:
        return f"{n:,} calibration-phase records (decay rate free)"
    return f"{n:,} events fitted in both channels"


def phase_note(view: RunView) -> List[str]:
    """The warning over every section drawn from the records, when they are
    the calibration phase's."""
    if view.record_phase == PROCESSING:
        return []
    return [f'<p class="warn">These are the {esc(records_words(view))} of an unfinished run, '
            "not the processing phase's results.</p>"]


def banner(view: RunView) -> str:
    """The boxes at the top of the page: what is unfinished or unknown."""
    st = view.state
    out = []
    if st is None:
        why = (f"its <code>{esc(SUMMARY_NAME)}</code> is not this run's account (see Run)"
               if view.has_summary else
               f"the run folder holds no <code>{esc(SUMMARY_NAME)}</code>")
        if view.has_checkpoint:
            why += (f" (the report does not read <code>{esc(CHECKPOINT_NAME)}</code>, which is "
                    "zorv_mpi's own record for resuming; <code>cat</code> shows it)")
        out.append(f'<div class="warn"><b>Whether this run finished is not known:</b> {why}. '
                   "The result files are taken as the processing phase's.</div>")
    elif st.finished:
        if st.run_error:
            out.append('<div class="error"><b>The run finished with an error:</b> '
                       f"<code>{esc(st.source)}</code> records that a raw file could not be "
                       "read or an estimate was not made; the console output of zorv_mpi says "
                       "which.</div>")
    else:
        if view.record_phase == PROCESSING:
            holds = ("The calibration is done; the result files hold the processing phase's "
                     "records so far.")
        elif view.calibrated:
            holds = ("The calibration is done and the processing phase has not started: the "
                     "result files hold the calibration phase's records, fitted with the decay "
                     "rate free.")
        else:
            holds = ("The result files hold the calibration phase's records so far, fitted with "
                     "the decay rate free. The calibration has not run yet and the processing "
                     "phase has not started.")
        out.append(f'<div class="error"><b>Unfinished run: {esc(stop_words(view))}</b> '
                   f"(<code>{esc(st.source)}</code>). {holds} To continue, set "
                   f"<code>resume = 1</code> in <code>{esc(CONFIG_NAME)}</code> and start zorv_mpi "
                   "again.</div>")
    missing = []
    if not view.has_summary:
        missing.append(f"no <code>{esc(SUMMARY_NAME)}</code>, so its version, hosts, times and "
                       "the outcomes of the channels are not known")
    if view.events is None:
        missing.append(f"no <code>{esc(EVENTS_NAME)}</code>, so no record names its raw event "
                       "and no example event is shown")
    if missing:
        out.append('<div class="warn"><b>A run of an older zorv_mpi:</b> the run folder holds '
                   + "; and ".join(missing) + ".</div>")
    return "\n".join(warnings_box(view) + out)


def warnings_box(view: RunView) -> List[str]:
    """The notes and warnings the run printed, as its summary lists them: a
    box at the very top of the page, none when there are none."""
    said = (view.summary or {}).get("warnings") or []
    if not said:
        return []
    items = "".join(f"<li><code>{esc(line)}</code></li>" for line in said)
    return [f'<div class="warn" id="warnings"><b>What zorv_mpi warned of</b> (as '
            f"<code>{esc(SUMMARY_NAME)}</code> lists the lines it printed):<ul>{items}</ul></div>"]
