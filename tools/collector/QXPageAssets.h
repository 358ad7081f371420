#ifndef QUORVEX_TOOLS_COLLECTOR_QXPAGEASSETS_H_
#define QUORVEX_TOOLS_COLLECTOR_QXPAGEASSETS_H_

// The inspector page's files, built into the binary: CMake reads them from
// tools/inspector/ (inspector.html served at "/", every other file at
// "/<its name>") and generates their definition, so that the page needs no
// network and no file beside the binary.

#include <string_view>

struct QXPageAsset {
  std::string_view path;  // "/", "/inspector.js", ...
  std::string_view contentType;
  std::string_view bytes;
};

// The file served at `path` (without a query), or null.
const QXPageAsset* QXFindPageAsset(std::string_view path);

#endif  // QUORVEX_TOOLS_COLLECTOR_QXPAGEASSETS_H_
