"""Mechanical mutants (tests/mutation/operators.py) shown not to change what the product does.
A sampled one is listed, not run and not counted.

Each entry: the file; the source line as it stands, stripped; the change as `scripts/mutate.sh
--list` shows it; why no test can tell. An entry that matches no mutant any more is reported as
stale.
"""

import collections

Equivalent = collections.namedtuple("Equivalent", "file site change reason")

EQUIVALENT = [
]
