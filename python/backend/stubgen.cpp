// Writes the module's type stub: the template with each "@params:NAME@" line
// replaced by that function's parameter list, derived from its table, the
// summary's properties by its attribute table, and each "@doc:NAME@" by the
// first line of its docstring.
//
//   stubgen _corvel_backend.pyi.in _corvel_backend.pyi
#include "signatures.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

namespace {

using namespace corvel::py;

struct Entry {
    std::string_view key;
    std::string text;
};

std::string first_line(std::string_view doc) { return std::string(doc.substr(0, doc.find('\n'))); }

std::string summary_properties() {
    std::string s;
    for (const SummaryField& f : kSummaryFields) {
        s += "    @property\n    def ";
        s += f.name;
        s += f.count ? "(self) -> int: ...\n" : "(self) -> str: ...\n";
    }
    return s;
}

// A nested method's list is indented one level deeper than a function's.
const Entry kEntries[] = {
    {"@params:salvage_file@", stub_params(kSalvageFileParams, "    ")},
    {"@params:sniff@", stub_params(kSniffParams, "    ")},
    {"@params:open@", stub_params(kReaderParams, "    ")},
    {"@params:SalvageReader@", stub_params(kReaderParams, "        ")},
    {"@params:SalvageReader.__exit__@", stub_params(kExitParams, "        ")},
    {"@properties:SalvageSummary@", summary_properties()},
    {"@doc:salvage_file@", first_line(msg::kSalvageFileDoc)},
    {"@doc:sniff@", first_line(msg::kSniffDoc)},
    {"@doc:open@", first_line(msg::kOpenDoc)},
    {"@doc:SalvageSummary@", first_line(msg::kSummaryDoc)},
    {"@doc:SalvageSummary.to_dict@", first_line(msg::kToDictDoc)},
    {"@doc:SalvageReader@", first_line(msg::kReaderDoc)},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: stubgen TEMPLATE OUTPUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    if (!in) {
        std::fprintf(stderr, "stubgen: cannot read %s\n", argv[1]);
        return 1;
    }
    for (const Entry& e : kEntries) {
        // A parameter list starts a line and brings its own line ends.
        const std::string key(e.key);
        const std::size_t at = text.find(key);
        if (at == std::string::npos) {
            std::fprintf(stderr, "stubgen: %s not in the template\n", key.c_str());
            return 1;
        }
        text.replace(at, key.size(), e.text);
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << text;
    return out ? 0 : 1;
}
