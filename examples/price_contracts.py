"""Shows the entries of _vornik and their signatures."""

import _vornik

for name in _vornik.__all__:
    function = getattr(_vornik, name)
    print(f"{name}{function.__text_signature__}")
