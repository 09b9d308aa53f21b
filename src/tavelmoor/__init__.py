"""Helpers for Instagram webhook events and Graph API data.

The work is done by the native extension ``tavelmoor.common_functions``;
``MediaType`` names the codes that its ``get_media_type`` returns.
"""
# Kept free of the extension, so that importing the package loads no native code.
from tavelmoor._media_type import MediaType

__version__ = "0.2.0"
__all__ = ["MediaType"]
