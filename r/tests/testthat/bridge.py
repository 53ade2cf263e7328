"""The Python package's side of the cross-language tests.

Reads one request (JSON) that the R tests wrote: a matrix as raw float64 (samples x
features, row-major: R's features x samples matrix as it lies), the batch labels, the
covariates as named columns, the options, and what to do. Writes the result as raw
float64 beside it, or the message of the error the call raised.
"""

import json
import sys
import warnings

import numpy as np
import quarnel


def main(request_path: str) -> None:
    with open(request_path) as f:
        request = json.load(f)
    values = np.fromfile(request["values"], dtype=np.float64).reshape(request["n_samples"], request["n_features"])
    if request.get("labelled"):
        import pandas as pd

        values = pd.DataFrame(values, index=request["samples"], columns=request["features"])
    covariates = request.get("covariates")
    options = request.get("options", {})
    warnings.simplefilter("ignore")
    try:
        if request["action"] == "combat":
            out = quarnel.combat(values, request["batch"], covariates, **options)
        elif request["action"] == "summary":
            _, report = quarnel.combat(values, request["batch"], covariates, return_report=True, **options)
            with open(request["out"], "w") as f:
                f.write(report.summary())
            return
        elif request["action"] == "fit_save":
            model = quarnel.fit(values, request["batch"], covariates, **options)
            model.save(request["model"])
            out = model.transform(values, request["batch"], covariates)
        elif request["action"] == "load_apply":
            model = quarnel.load_model(request["model"])
            out = model.transform(values, request["batch"], covariates, **options)
        else:
            raise SystemExit(f"unknown action {request['action']}")
    except (ValueError, RuntimeError, TypeError) as err:
        with open(request["out"] + ".error", "w") as f:
            f.write(str(err))
        return
    np.ascontiguousarray(out, dtype=np.float64).tofile(request["out"])


if __name__ == "__main__":
    main(sys.argv[1])
