"""Helpers for Instagram webhook events and Graph API data.

The work is done by the native extension ``tavelmoor.common_functions``.
"""

__version__ = "0.1.0"
