#include "tools/quorvex/QXCommandLine.h"

bool QXCommandLine::next() {
  if (position_ >= arguments_.size()) return false;
  name_ = arguments_[position_++];
  inlineValue_.reset();
  const size_t equals = name_.find('=');
  if (isOption() && equals != std::string::npos) {
    inlineValue_ = name_.substr(equals + 1);
    name_.resize(equals);
  }
  return true;
}

bool QXCommandLine::value(std::string& value, std::string& error) {
  if (inlineValue_) {
    value = *inlineValue_;
    return true;
  }
  if (position_ >= arguments_.size()) {
    error = name_ + " needs a value";
    return false;
  }
  value = arguments_[position_++];
  return true;
}

std::optional<long long> QXParseInteger(const std::string& text, long long low, long long high) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) i = 1;
  if (i == text.size() || text.size() - i > 18) return std::nullopt;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool QXSplitKeyValue(const std::string& text, std::pair<std::string, std::string>& pair) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  pair.first = text.substr(0, equals);
  pair.second = text.substr(equals + 1);
  return true;
}
