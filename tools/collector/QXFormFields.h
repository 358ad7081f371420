#ifndef QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_
#define QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_

// Reading form bodies (application/x-www-form-urlencoded), the one decoder of
// the collector, the tests, the fuzzers and the benchmarks. The SDK only
// encodes; what it sends is read back here.
//
// A body is fields separated by "&"; a field is a name and a value separated
// by its first "=" (a field without "=" has an empty value). Empty fields
// ("a=1&&b=2") are skipped. Names and values are percent-encoded: "%XX"
// stands for its byte and "+" for a space; a "%" not followed by two hex
// digits is kept as it is.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

using QXFormField = std::pair<std::string, std::string>;

// Calls `visit(name, value)` with each field's name and value as they are in
// the body, still encoded, in order. The views point into `body`.
template <typename Visit>
void QXForEachEncodedField(std::string_view body, Visit&& visit) {
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view field = body.substr(start, end - start);
    start = end + 1;
    if (field.empty()) continue;
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos) {
      visit(field, std::string_view());
    } else {
      visit(field.substr(0, equals), field.substr(equals + 1));
    }
  }
}

// The decoded bytes of an encoded name or value.
std::string QXURLDecodedString(std::string_view text);
// The same bytes appended to `out`.
void QXAppendURLDecoded(std::string& out, std::string_view text);

// Every field of `body`, decoded, in order; a name given twice is there twice.
std::vector<QXFormField> QXDecodedFormFields(std::string_view body);

// The fields of a form body for a person to read: one "name=value" line
// each, decoded, with control characters and backslashes escaped ("\n",
// "\x01", "\\") so that a field always stays on its line.
std::string QXFormatFields(std::string_view body);

// The same lines appended to `out`, so that a caller formatting many bodies
// can keep reusing one buffer.
void QXAppendFormattedFields(std::string& out, std::string_view body);

#endif  // QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_
