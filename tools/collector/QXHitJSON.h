#ifndef QUORVEX_TOOLS_COLLECTOR_QXHITJSON_H_
#define QUORVEX_TOOLS_COLLECTOR_QXHITJSON_H_

// What the inspector page receives of a hit: one JSON object a line,
//
//   {"seq":12,"time":1796680238615,"method":"POST","path":"/7/","id":"...",
//    "size":1362,"body":"QX_...=...&page=home","fields":[["QX_...","..."],...]}
//
// with the fields decoded by the collector's one form decoder, in the order
// of the body, a name given twice there twice. Hit data is untrusted bytes:
// each is written as a JSON string of valid UTF-8 whatever it holds (a byte
// that is not part of a well-formed sequence becomes U+FFFD), with every
// control character escaped, so that the text can neither end the line nor
// the event that carries it.

#include <string>
#include <string_view>

#include "tools/collector/QXHitHistory.h"

// `text` as a JSON string, quotes included, appended to `out`.
void QXAppendJSONString(std::string& out, std::string_view text);

// The hit's object, without a line break, appended to `out`.
void QXAppendHitJSON(std::string& out, const QXRecordedHit& hit);

#endif  // QUORVEX_TOOLS_COLLECTOR_QXHITJSON_H_
