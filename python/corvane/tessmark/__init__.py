"""Tessmark detection: the compiled trainer and the library around it.

Importing the package makes checkpoint saves and loads quiet (:mod:`.quiet`).
"""

from corvane.tessmark import quiet as _quiet  # noqa: F401
