#ifndef QUORVEX_QXSDK_PREDEFINED_QXMODELNAMES_H_
#define QUORVEX_QXSDK_PREDEFINED_QXMODELNAMES_H_

#include <cstddef>
#include <optional>
#include <string_view>

// The marketing names of the devices the collection service knows, by the
// machine identifier the kernel reports ("iPhone10,3" is "iPhone X"). The
// table is fixed; the names are the service's texts, spacing, capitals and
// punctuation included.
class QXModelNames {
 public:
  struct Entry {
    std::string_view machine;
    std::string_view name;
  };

  // The name of `machine`, found by exact, case-sensitive equality of the
  // whole identifier; nothing for an identifier outside the table.
  static std::optional<std::string_view> nameFor(std::string_view machine);

  // The whole table, in its order.
  static const Entry* begin();
  static const Entry* end();
  static size_t size();
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXMODELNAMES_H_
