"""Names for the media type codes that ``get_media_type`` returns."""
from enum import IntEnum, unique

__all__ = ["MediaType"]


@unique
class MediaType(IntEnum):
    """A media type code from 1 to 21, named by what it stands for.

    ``get_media_type`` returns a plain ``int``; ``MediaType(code)`` names it.
    Every member's name is itself a name of its code, so
    ``get_media_type(member.name) == member`` holds for each member, UNKNOWN
    included (no name maps to 6).

    >>> from tavelmoor import MediaType
    >>> from tavelmoor.common_functions import get_media_type
    >>> MediaType(get_media_type("carousel_album"))
    <MediaType.IMAGE: 2>
    """

    # The comments list the names (in any letter case) that give each code.
    TEXT = 1            # "", TEXT, TXT, STATUS, POSTBACK, CONVERSATION
    IMAGE = 2           # PHOTO, IMAGE, ALBUM, CAROUSEL, IMAGE/JPEG, IMAGE/PNG, CAROUSEL_ALBUM, STICKER
    VIDEO = 3           # VIDEO/MP4, VIDEO_INLINE, "VIDEO - CHECKIN", VIDEO-CHECKIN, ADDED_VIDEO, VIDEO
    LINK = 4            # ARTICLE, URL, LINK
    POLL = 5            # POLL, VISUAL_POLL
    UNKNOWN = 6         # every name not listed here
    ANIMATED_GIF = 7    # ANIMATEDGIF, ANIMATED_IMAGE_SHARE, ANIMATED_IMAGE_AUTOPLAY, ANIMATED_GIF,
                        # ANIMATED_IMAGE_VIDEO_AUTOPLAY, ANIMATED_IMAGE_VIDEO, IMAGE/GIF
    PDF = 8             # PDF, APPLICATION/PDF
    DOC = 9             # DOC, DOCX, APPLICATION/MSWORD
    EXCEL = 10          # EXCEL, XLSX
    AUDIO = 11          # AUDIO, VOICE
    CONTACT = 12        # CONTACTS, CONTACT
    SYSTEM = 13         # SYSTEM
    LOCATION = 14       # LOCATION, LOCATIONS
    HTML = 15           # HTML
    CARD = 16           # CARD
    QUICKREPLY = 17     # QUICKREPLY
    BUTTON = 18         # BUTTONS, BUTTON
    FILE = 19           # FILE
    TEMPLATE = 20       # TEMPLATE
    REELS = 21          # REELS
