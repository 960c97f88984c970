#include "records.hpp"

#include <cstdio>

namespace corvel {
namespace {

void append_number(std::string& out, std::uint64_t n) { out += std::to_string(n); }

}  // namespace

void append_csv_field(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(field);
        return;
    }
    out.push_back('"');
    for (const char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", b);
                    out += esc;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

void append_set_aside_header(std::string& out) { out += "line,end_line,byte_offset,reason,raw\n"; }

void append_set_aside_record(std::string& out, const RowPlace& place, std::string_view reason,
                             std::string_view raw) {
    append_number(out, place.line);
    out.push_back(',');
    append_number(out, place.end_line);
    out.push_back(',');
    append_number(out, place.byte_offset);
    out.push_back(',');
    append_csv_field(out, reason);
    out.push_back(',');
    // Always enclosed, so that an empty raw text still reads as a field.
    out.push_back('"');
    for (const char c : raw) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out += "\"\n";
}

void append_audit_record(std::string& out, const RowPlace& place, unsigned actions, std::string_view reason,
                         std::string_view raw, const RowTable* rows, std::uint64_t r) {
    out += "{\"line\":";
    append_number(out, place.line);
    out += ",\"end_line\":";
    append_number(out, place.end_line);
    out += ",\"byte_offset\":";
    append_number(out, place.byte_offset);
    out += ",\"actions\":[";
    bool first = true;
    for (std::size_t i = 0; i < std::size(kActionNames); ++i) {
        if ((actions & (1u << i)) == 0) continue;
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, kActionNames[i]);
    }
    out += "],\"reason\":";
    if (reason.empty()) {
        out += "null";
    } else {
        append_json_string(out, reason);
    }
    out += ",\"raw\":";
    append_json_string(out, raw);
    out += ",\"fields\":[";
    if (rows != nullptr) {
        for (std::uint64_t f = 0; f < rows->width(r); ++f) {
            if (f != 0) out.push_back(',');
            append_json_string(out, rows->field(r, f));
        }
    }
    out += "]}\n";
}

}  // namespace corvel
