// salvage_file(): a file salvaged to a clean file and a quarantine file.
#include "../common/binder.hpp"
#include "../common/classes.hpp"
#include "backend.hpp"
#include "exceptions.hpp"
#include "messages.hpp"
#include "signatures.hpp"

#include "salvage.hpp"

#include <array>
#include <optional>

namespace corvel::py {
namespace {

constexpr Signature kSignature{msg::kSalvageFileCallName, kSalvageFileParams};
constexpr std::size_t kInput = param_index(kSalvageFileParams, "input_path");
constexpr std::size_t kOutput = param_index(kSalvageFileParams, "output_path");
constexpr std::size_t kQuarantine = param_index(kSalvageFileParams, "quarantine_path");

PyObject* salvage_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, kSalvageFileParams.size()> v;
    if (!parse_args(kSignature, args, nargs, kwnames, v)) return nullptr;
    const SalvageOptions options = to_options(v);
    const std::optional<std::string_view> quarantine =
        v[kQuarantine].present ? std::optional(v[kQuarantine].text) : std::nullopt;
    Result<SalvageStats> stats = corvel::salvage_file(v[kInput].text, v[kOutput].text, quarantine, options);
    if (!stats) return raise_as_oserror(stats.error());
    return new_summary(stats.value());
}

}  // namespace

PyMethodDef kSalvageFileDef = {msg::kSalvageFileName, as_method(salvage_file), METH_FASTCALL | METH_KEYWORDS,
                               kSalvageFileDoc.data()};

}  // namespace corvel::py
