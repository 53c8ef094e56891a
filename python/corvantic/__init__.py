"""corvantic: a GigE Vision camera client with a C++ core."""

from corvantic import _corvantic_core
from corvantic._corvantic_core import *  # noqa: F401,F403

__all__ = list(_corvantic_core.__all__)
__version__ = "0.1.0"
