#ifndef QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_
#define QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_

#include <string>
#include <string_view>

// The fields of a form body for a person to read: one "name=value" line
// each, decoded, with control characters and backslashes escaped ("\n",
// "\x01", "\\") so that a field always stays on its line. Empty fields
// ("a=1&&b=2") are skipped; a field without "=" shows an empty value.
std::string QXFormatFields(std::string_view body);

// The same lines appended to `out`, so that a caller formatting many bodies
// can keep reusing one buffer.
void QXAppendFormattedFields(std::string& out, std::string_view body);

#endif  // QUORVEX_TOOLS_COLLECTOR_QXFORMFIELDS_H_
