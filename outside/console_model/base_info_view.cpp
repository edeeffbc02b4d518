// Portable: decoding of the Get Configuration records.
#include "outside/console_model/base_info_view.h"

#include <algorithm>

namespace pm::console {
namespace {

class Reader {
public:
    Reader(const std::vector<uint8_t>& b) : p_(b.data()), n_(b.size()) {}
    bool U8(size_t at, uint8_t* v) const {
        if (at >= n_) return false;
        *v = p_[at];
        return true;
    }
    bool U16(size_t at, uint16_t* v) const {
        if (at > n_ || n_ - at < 2) return false;
        *v = uint16_t(p_[at] | p_[at + 1] << 8);
        return true;
    }
    bool U32(size_t at, uint32_t* v) const {
        if (at > n_ || n_ - at < 4) return false;
        *v = uint32_t(p_[at]) | uint32_t(p_[at + 1]) << 8 | uint32_t(p_[at + 2]) << 16 |
             uint32_t(p_[at + 3]) << 24;
        return true;
    }
    // A zero-terminated text starting at `at` and ending before `limit`.
    bool Text(size_t at, size_t limit, std::string* out) const {
        limit = std::min(limit, n_);
        if (at >= limit) return false;
        const uint8_t* end = std::find(p_ + at, p_ + limit, uint8_t(0));
        if (end == p_ + limit) return false;
        out->assign(reinterpret_cast<const char*>(p_ + at), end - (p_ + at));
        return true;
    }
    size_t size() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

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

bool DecodeBaseInfo(const std::vector<std::vector<uint8_t>>& items, TextDecoder decode,
                    BaseInfoView* v, std::string* error) {
    if (items.size() < 5) return Fail(error, "fewer than five items");
    Reader info(items[0]);
    if (info.size() < 16) return Fail(error, "manager info shorter than 16 bytes");
    info.U32(0, &v->version);
    info.U8(4, &v->os_type);
    info.U8(5, &v->os_major);
    info.U8(6, &v->os_minor);
    info.U8(7, &v->os_subversion);
    info.U32(8, &v->flags);
    info.U32(12, &v->num_groups);

    Reader fields(items[1]);
    size_t at = 0;
    while (at < fields.size()) {
        GroupInfo g;
        uint32_t header = 0, count = 0, name_len = 0;
        if (!fields.U32(at, &header) || !fields.U32(at + 4, &count) ||
            !fields.U32(at + 8, &g.key_field) || !fields.U32(at + 12, &g.monitored) ||
            !fields.U32(at + 16, &name_len) || header < 21 || header > fields.size() - at ||
            !fields.Text(at + 20, at + header, &g.name))
            return Fail(error, "bad column block header");
        g.name = decode(g.name);
        size_t r = at + header;
        for (uint32_t k = 0; k < count; ++k) {
            ColumnInfo c;
            uint32_t length = 0, title_at = 0;
            if (!fields.U32(r, &length) || !fields.U32(r + 4, &title_at) ||
                !fields.U32(r + 8, &c.field_id) || !fields.U32(r + 12, &c.data_type) ||
                length < 17 || length > fields.size() - r || title_at >= length ||
                !fields.Text(r + title_at, r + length, &c.title))
                return Fail(error, "bad column record");
            c.title = decode(c.title);
            g.columns.push_back(std::move(c));
            r += length;
        }
        v->groups.push_back(std::move(g));
        at = r;
        if (v->groups.size() > 64) return Fail(error, "too many column blocks");
    }

    Reader sig(items[2]);
    uint32_t sig_header = 0, sig_count = 0;
    if (!sig.U32(0, &sig_header) || !sig.U32(4, &sig_count) || sig_header < 8)
        return Fail(error, "bad signal table header");
    at = sig_header;
    for (uint32_t k = 0; k < sig_count; ++k) {
        SignalInfo s;
        uint32_t length = 0, name_at = 0;
        if (!sig.U32(at, &length) || !sig.U32(at + 4, &name_at) || !sig.U32(at + 8, &s.id) ||
            !sig.U32(at + 12, &s.tab) || length < 17 || length > sig.size() - at ||
            name_at >= length || !sig.Text(at + name_at, at + length, &s.name))
            return Fail(error, "bad signal record");
        s.name = decode(s.name);
        v->signals.push_back(std::move(s));
        at += length;
    }

    Reader en(items[3]);
    uint16_t enum_count = 0;
    if (!en.U16(0, &enum_count)) return Fail(error, "bad enumerations header");
    at = 2;
    for (uint16_t k = 0; k < enum_count; ++k) {
        EnumInfo e;
        uint16_t strings = 0;
        if (!en.U16(at, &e.id) || !en.U16(at + 2, &strings)) return Fail(error, "bad enumeration");
        at += 4;
        for (uint16_t j = 0; j < strings; ++j) {
            EnumString s;
            uint16_t length = 0;
            if (!en.U16(at, &s.index) || !en.U16(at + 2, &length) || length == 0 ||
                !en.Text(at + 4, at + 4 + length, &s.text))
                return Fail(error, "bad enumeration string");
            s.text = decode(s.text);
            e.strings.push_back(std::move(s));
            at += 4 + length;
        }
        v->enums.push_back(std::move(e));
    }

    Reader lang(items[4]);
    if (!lang.Text(0, lang.size(), &v->language)) return Fail(error, "bad language code");
    v->language = decode(v->language);
    return true;
}

} // namespace pm::console
