// PARM values and a binary insert's bytes as the parameters of one PostgreSQL statement.
#include "server/postgres/binding.h"

#include "server/postgres/sql_text.h"

namespace lumbra::server::pg {

Bound::Bound(std::string_view statement, const Parameters& parameters, const std::string_view* blob) {
  sql = bindNames(statement, names, blob != nullptr, blobIndex);
  texts.resize(names.size());
  values.assign(names.size(), nullptr);
  lengths.assign(names.size(), 0);
  formats.assign(names.size(), 0);
  types.assign(names.size(), 0);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty()) {
      values[i] = blob->data() != nullptr ? blob->data() : "";
      lengths[i] = static_cast<int>(blob->size());
      formats[i] = 1;
      types[i] = kByteaType;
      continue;
    }
    auto found = parameters.find(names[i]);
    if (found == parameters.end() || found->second.kind == Parameter::Kind::Null) continue;
    // Untyped: PostgreSQL gives the value the type of the place it goes to.
    texts[i] = found->second.value;
    values[i] = texts[i].c_str();
    lengths[i] = static_cast<int>(texts[i].size());
  }
}

}  // namespace lumbra::server::pg
