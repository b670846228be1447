"""Sample package whose arithmetic lives in a small C extension."""
from samplepkg._speed import add

__all__ = ["add"]
