"""Exact, fast, reproducible survival trees and forests for right-censored data."""

from korvane._korvane_core import version

__all__ = ["version"]
__version__ = version()
