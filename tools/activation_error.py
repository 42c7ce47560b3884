#!/usr/bin/env python3
"""Measures the error bounds that the docstrings of Tensor.sigmoid and
Tensor.gelu state: the largest absolute difference from the exact functions
(1 / (1 + exp(-x)) and x * Phi(x)) over every float32 x with
2**-20 <= |x| < 2**7, then the largest error again at its argument in
40-digit arithmetic. Outside that range both approximations are saturated
or exact to rounding, and their errors are far smaller.

Needs the installed extension, NumPy, SciPy and mpmath; takes a few minutes.

    python3 tools/activation_error.py
"""

import mpmath
import numpy as np
from scipy.special import erf, expit

from _nimbra import Tensor

mpmath.mp.dps = 40
EXACT = {
    "sigmoid": (lambda x: expit(x), lambda x: 1 / (1 + mpmath.exp(-x))),
    "gelu": (lambda x: 0.5 * x * (1 + erf(x / np.sqrt(2))), lambda x: x * (1 + mpmath.erf(x / mpmath.sqrt(2))) / 2),
}

worst = dict.fromkeys(EXACT, (0.0, 0.0))
for sign in (0, 1 << 31):
    for exponent in range(127 - 20, 127 + 7):  # one binade of float32 per pass
        bits = np.arange(1 << 23, dtype=np.uint32) | np.uint32(sign | exponent << 23)
        x = bits.view(np.float32)
        t = Tensor.from_buffer(x)
        for name, (exact, _) in EXACT.items():
            err = np.abs(np.asarray(getattr(t, name)()).astype(np.float64) - exact(x.astype(np.float64)))
            i = int(np.argmax(err))
            if err[i] > worst[name][0]:
                worst[name] = (float(err[i]), float(x[i]))

for name, (_, precise) in EXACT.items():
    x = worst[name][1]
    got = getattr(Tensor([x], [1]), name)().tolist()[0]
    print(f"{name}: max abs error {float(abs(got - precise(mpmath.mpf(x)))):.4g} at x = {x!r}")
