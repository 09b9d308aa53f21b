"""An asyncio webhook consumer built on tavelmoor.common_functions.

It reads Instagram webhook deliveries, fetches each event's parent post from the
Graph API (or from a local stand-in for it) and writes one flat record per event
as a JSON line.
"""
