"""corvantic: a GigE Vision camera client with a C++ core."""

import collections.abc
import importlib.metadata

from corvantic import _corvantic_core, diagnostics, image  # noqa: F401
from corvantic._corvantic_core import *  # noqa: F401,F403
from corvantic._corvantic_core import Event, EventChannel, FeatureInfo, FrameChunks

__all__ = [*_corvantic_core.__all__, "FeatureInfo", "FrameChunks", "Event", "EventChannel"]
collections.abc.Mapping.register(FrameChunks)
# pyproject.toml holds the version; the installed metadata carries it here.
__version__ = importlib.metadata.version(__name__)
