"""zorv in Python: numpy readers of zorv_mpi's files, the fitter's pulse
model, and a web-page report of a run (python3 -m zorv.report RUN_DIR).

    import zorv
    a = zorv.read_results("work/ab0.bin")
    print(len(a), a["amplitude1"].mean(), a.dtype.names)
"""

from .files import (RESULT_FIELDS, open_raw, parameters, read_config, read_decay_hist,
                    read_decay_list, read_log, read_results)
from .model import pulse_model, read_kernel, smooth
from .state import read_checkpoint, read_run_state

__all__ = ["RESULT_FIELDS", "open_raw", "parameters", "read_config", "read_decay_hist",
           "read_decay_list", "read_log", "read_results", "pulse_model", "read_kernel", "smooth",
           "read_checkpoint", "read_run_state"]
