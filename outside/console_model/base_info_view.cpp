// Portable: decoding of the Get Configuration records.
#include "outside/console_model/base_info_view.h"

#include <algorithm>

#include "shared/base/byte_reader.h"

namespace pm::console {
namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

} // namespace

std::vector<std::string> BaseInfoView::EnumTexts(uint16_t id) const {
    std::vector<std::string> texts;
    for (const EnumInfo& e : enums) {
        if (e.id != id) continue;
        for (const EnumString& s : e.strings) {
            if (s.index >= texts.size()) texts.resize(s.index + 1u);
            texts[s.index] = s.text;
        }
    }
    return texts;
}

namespace {

// Both forms of the items: each has data() and size().
template <class Items>
bool Decode(const Items& items, TextDecoder decode, BaseInfoView* v, std::string* error) {
    if (items.size() < 5) return Fail(error, "fewer than five items");
    ByteReader info(items[0].data(), items[0].size());
    if (info.size() < 16) return Fail(error, "manager info shorter than 16 bytes");
    v->version = info.U32();
    v->os_type = info.U8();
    v->os_major = info.U8();
    v->os_minor = info.U8();
    v->os_subversion = info.U8();
    v->flags = info.U32();
    v->num_groups = info.U32();

    ByteReader fields(items[1].data(), items[1].size());
    size_t at = 0;
    while (at < fields.size()) {
        GroupInfo g;
        const uint32_t header = fields.U32At(at), count = fields.U32At(at + 4);
        g.key_field = fields.U32At(at + 8);
        g.monitored = fields.U32At(at + 12);
        (void)fields.U32At(at + 16); // the name's length: the NUL ends it
        if (!fields.ok() || header < 21 || header > fields.size() - at)
            return Fail(error, "bad column block header");
        g.name = fields.CStringAt(at + 20, at + header);
        if (!fields.ok()) return Fail(error, "bad column block header");
        g.name = decode(g.name);
        size_t r = at + header;
        for (uint32_t k = 0; k < count; ++k) {
            ColumnInfo c;
            const uint32_t length = fields.U32At(r), title_at = fields.U32At(r + 4);
            c.field_id = fields.U32At(r + 8);
            c.data_type = fields.U32At(r + 12);
            if (!fields.ok() || length < 17 || length > fields.size() - r || title_at >= length)
                return Fail(error, "bad column record");
            c.title = fields.CStringAt(r + title_at, r + length);
            if (!fields.ok()) return Fail(error, "bad column record");
            c.title = decode(c.title);
            g.columns.push_back(std::move(c));
            r += length;
        }
        v->groups.push_back(std::move(g));
        at = r;
        if (v->groups.size() > 64) return Fail(error, "too many column blocks");
    }

    ByteReader sig(items[2].data(), items[2].size());
    const uint32_t sig_header = sig.U32(), sig_count = sig.U32();
    if (!sig.ok() || sig_header < 8) return Fail(error, "bad signal table header");
    at = sig_header;
    for (uint32_t k = 0; k < sig_count; ++k) {
        SignalInfo s;
        const uint32_t length = sig.U32At(at), name_at = sig.U32At(at + 4);
        s.id = sig.U32At(at + 8);
        s.tab = sig.U32At(at + 12);
        if (!sig.ok() || length < 17 || length > sig.size() - at || name_at >= length)
            return Fail(error, "bad signal record");
        s.name = sig.CStringAt(at + name_at, at + length);
        if (!sig.ok()) return Fail(error, "bad signal record");
        s.name = decode(s.name);
        v->signals.push_back(std::move(s));
        at += length;
    }

    ByteReader en(items[3].data(), items[3].size());
    const uint16_t enum_count = en.U16At(0);
    if (!en.ok()) return Fail(error, "bad enumerations header");
    at = 2;
    for (uint16_t k = 0; k < enum_count; ++k) {
        EnumInfo e;
        e.id = en.U16At(at);
        const uint16_t strings = en.U16At(at + 2);
        if (!en.ok()) return Fail(error, "bad enumeration");
        at += 4;
        for (uint16_t j = 0; j < strings; ++j) {
            EnumString s;
            s.index = en.U16At(at);
            const uint16_t length = en.U16At(at + 2);
            if (!en.ok() || length == 0) return Fail(error, "bad enumeration string");
            s.text = en.CStringAt(at + 4, at + 4 + length);
            if (!en.ok()) return Fail(error, "bad enumeration string");
            s.text = decode(s.text);
            e.strings.push_back(std::move(s));
            at += 4 + length;
        }
        v->enums.push_back(std::move(e));
    }

    ByteReader lang(items[4].data(), items[4].size());
    v->language = lang.CStringAt(0, lang.size());
    if (!lang.ok()) return Fail(error, "bad language code");
    v->language = decode(v->language);
    return true;
}

} // namespace

bool DecodeBaseInfo(const std::vector<std::string>& items, TextDecoder decode, BaseInfoView* view,
                    std::string* error) {
    return Decode(items, decode, view, error);
}

bool DecodeBaseInfo(const std::vector<std::vector<uint8_t>>& items, TextDecoder decode,
                    BaseInfoView* view, std::string* error) {
    return Decode(items, decode, view, error);
}

} // namespace pm::console
