#include <cstring>
#include <string_view>

#include "function.hpp"
#include "source_lines.hpp"
#include "types.hpp"

namespace lines = source_lines::get_media_type;

struct MediaName {
    std::string_view name;
    unsigned char code;
};

// Code 6 belongs to no name: it is the answer for every name not listed.
static constexpr unsigned char unknown_code = 6;

static constexpr MediaName media_names[] = {
    {"", 1}, {"TEXT", 1}, {"TXT", 1}, {"STATUS", 1}, {"POSTBACK", 1}, {"CONVERSATION", 1},
    {"PHOTO", 2}, {"IMAGE", 2}, {"ALBUM", 2}, {"CAROUSEL", 2}, {"IMAGE/JPEG", 2}, {"IMAGE/PNG", 2},
    {"CAROUSEL_ALBUM", 2}, {"STICKER", 2},
    {"VIDEO/MP4", 3}, {"VIDEO_INLINE", 3}, {"VIDEO - CHECKIN", 3}, {"VIDEO-CHECKIN", 3}, {"ADDED_VIDEO", 3},
    {"VIDEO", 3},
    {"ARTICLE", 4}, {"URL", 4}, {"LINK", 4},
    {"POLL", 5}, {"VISUAL_POLL", 5},
    {"ANIMATEDGIF", 7}, {"ANIMATED_IMAGE_SHARE", 7}, {"ANIMATED_IMAGE_AUTOPLAY", 7}, {"ANIMATED_GIF", 7},
    {"ANIMATED_IMAGE_VIDEO_AUTOPLAY", 7}, {"ANIMATED_IMAGE_VIDEO", 7}, {"IMAGE/GIF", 7},
    {"DOC", 9}, {"DOCX", 9}, {"APPLICATION/MSWORD", 9},
    {"PDF", 8}, {"APPLICATION/PDF", 8},
    {"EXCEL", 10}, {"XLSX", 10},
    {"AUDIO", 11}, {"VOICE", 11},
    {"CONTACTS", 12}, {"CONTACT", 12},
    {"SYSTEM", 13},
    {"LOCATION", 14}, {"LOCATIONS", 14},
    {"HTML", 15},
    {"CARD", 16},
    {"QUICKREPLY", 17},
    {"BUTTONS", 18}, {"BUTTON", 18},
    {"FILE", 19},
    {"TEMPLATE", 20},
    {"REELS", 21},
};
static constexpr size_t name_count = sizeof media_names / sizeof media_names[0];
static_assert(name_count == 54);

static constexpr size_t longest_name()
{
    size_t longest = 0;
    for (const MediaName& entry : media_names)
        longest = entry.name.size() > longest ? entry.name.size() : longest;
    return longest;
}
static constexpr size_t longest = longest_name();

// The table's indices grouped by name length, so a lookup only compares the
// few names of the key's own length.
struct MediaNameIndex {
    unsigned char start[longest + 2];
    unsigned char order[name_count];
};

static constexpr MediaNameIndex build_length_index()
{
    MediaNameIndex index{};
    for (const MediaName& entry : media_names)
        ++index.start[entry.name.size() + 1];
    for (size_t n = 1; n < longest + 2; ++n)
        index.start[n] += index.start[n - 1];
    unsigned char filled[longest + 1]{};
    for (size_t i = 0; i < name_count; ++i) {
        size_t n = media_names[i].name.size();
        index.order[index.start[n] + filled[n]++] = (unsigned char)i;
    }
    return index;
}
static constexpr MediaNameIndex by_length = build_length_index();

// `text` is ASCII; it is upper-cased as str.upper() would do it.
static unsigned char lookup_ascii(const char* text, size_t length) noexcept
{
    if (length > longest)
        return unknown_code;
    char key[longest];
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        key[i] = (unsigned char)(c - 'a') < 26 ? (char)(c - ('a' - 'A')) : c;
    }
    for (size_t i = by_length.start[length]; i < by_length.start[length + 1]; ++i) {
        const MediaName& entry = media_names[by_length.order[i]];
        if (std::memcmp(entry.name.data(), key, length) == 0)
            return entry.code;
    }
    return unknown_code;
}

static PyObject* str_upper;

static int prepare() noexcept
{
    if (!str_upper)
        str_upper = PyObject_GetAttrString((PyObject*)&PyUnicode_Type, "upper");
    return str_upper ? 0 : -1;
}

// Codes are small ints, which the interpreter keeps: this never allocates.
static PyObject* code_object(unsigned char code) noexcept
{
    return PyLong_FromLong(code);
}

static PyObject* get_media_type(PyObject* const* args, int* line) noexcept
{
    PyObject* media_type = args[0];
    if (require_exact_type(media_type, &PyUnicode_Type, "media_type") < 0)
        return nullptr;

    Py_ssize_t length = PyUnicode_GET_LENGTH(media_type);
    if (PyUnicode_IS_ASCII(media_type))
        return code_object(lookup_ascii((const char*)PyUnicode_1BYTE_DATA(media_type), (size_t)length));
    // Upper-casing maps each character to one or more, so a name that is
    // already too long can match nothing.
    if ((size_t)length > longest)
        return code_object(unknown_code);

    // Full Unicode upper-casing can turn non-ASCII letters into ASCII ones
    // ("\u017f" gives "S", "\ufb01" gives "FI"), so the host does it.
    *line = lines::upper;
    Ref upper = Ref::steal(PyObject_Vectorcall(str_upper, &media_type, 1, nullptr));
    if (!upper)
        return nullptr;
    if (!PyUnicode_IS_ASCII(upper.get()))
        return code_object(unknown_code);
    return code_object(lookup_ascii((const char*)PyUnicode_1BYTE_DATA(upper.get()),
                                    (size_t)PyUnicode_GET_LENGTH(upper.get())));
}

static const char* const varnames[] = {"media_type", "media_type_mapping"};
static const char* const annotations[] = {"media_type", "str", "return", "int"};

FunctionDef get_media_type_def = {
    "get_media_type",
    "tavelmoor.common_functions.get_media_type",
    {"get_media_type", lines::def, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 2},
    annotations,
    2,
    get_media_type,
    function_vectorcall<get_media_type_def, get_media_type>,
    prepare,
    nullptr,
    {},
};
