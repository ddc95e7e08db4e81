"""kestrel: the master side of the FSoE (Fail Safe over EtherCAT) safety protocol.

The extension module :mod:`kestrel.kestrel` holds the whole API; this package
re-exports it so that ``from kestrel import FSOEFrame`` works as well.
"""

import sys as _sys
import types as _types

from . import kestrel as _ext
from .kestrel import *  # noqa: F401,F403

__all__ = [name for name in dir(_ext) if not name.startswith("_")]
__version__: str = getattr(_ext, "__version__")  # set by the build, not in the stubs


class _Package(_types.ModuleType):
    """Keeps the trace switch in one place: assigning ``kestrel.KESTREL_LOGGING``
    switches the trace exactly as assigning ``kestrel.kestrel.KESTREL_LOGGING``."""

    def __setattr__(self, name: str, value: object) -> None:
        if name == "KESTREL_LOGGING":
            setattr(_ext, name, value)
        super().__setattr__(name, value)

    def __getattribute__(self, name: str) -> object:
        if name == "KESTREL_LOGGING":
            return _ext.KESTREL_LOGGING
        return super().__getattribute__(name)


_sys.modules[__name__].__class__ = _Package
