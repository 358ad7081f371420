#include "QXSDK/predefined/QXModelNames.h"

#include <iterator>

namespace {

// The simulator reports the host's architecture instead of a device.
constexpr QXModelNames::Entry kTable[] = {
    {"i386", "Simulator"},
    {"x86_64", "Simulator"},
    {"iPhone1,1", "iPhone"},
    {"iPhone1,2", "iPhone 3G"},
    {"iPhone2,1", "iPhone 3GS"},
    {"iPhone3,1", "iPhone 4"},
    {"iPhone3,2", "iPhone 4"},
    {"iPhone3,3", "iPhone 4"},
    {"iPhone4,1", "iPhone 4S"},
    {"iPhone5,1", "iPhone 5"},
    {"iPhone5,2", "iPhone 5"},
    {"iPhone5,3", "iPhone 5C"},
    {"iPhone5,4", "iPhone 5C"},
    {"iPhone6,1", "iPhone 5S"},
    {"iPhone6,2", "iPhone 5S"},
    {"iPhone7,1", "iPhone 6 Plus"},
    {"iPhone7,2", "iPhone 6"},
    {"iPhone8,1", "iPhone 6S"},
    {"iPhone8,2", "iPhone 6S Plus"},
    {"iPhone8,4", "iPhone SE"},
    {"iPhone9,1", "iPhone 7"},
    {"iPhone9,3", "iPhone 7"},
    {"iPhone9,2", "iPhone 7 Plus"},
    {"iPhone9,4", "iPhone 7 Plus"},
    {"iPhone10,1", "iPhone 8"},
    {"iPhone10,4", "iPhone 8"},
    {"iPhone10,2", "iPhone 8 Plus"},
    {"iPhone10,5", "iPhone 8 Plus"},
    {"iPhone10,3", "iPhone X"},
    {"iPhone10,6", "iPhone X"},
    {"iPhone11,2", "iPhone XS"},
    {"iPhone11,4", "iPhone XS Max"},
    {"iPhone11,6", "iPhone XS Max"},
    {"iPhone11,8", "iPhone XR"},
    {"iPhone12,1", "iPhone 11"},
    {"iPhone12,3", "iPhone 11 Pro"},
    {"iPhone12,5", "iPhone 11 Pro Max"},
    {"iPod1,1", "1st Gen iPod"},
    {"iPod2,1", "2nd Gen iPod"},
    {"iPod3,1", "3rd Gen iPod"},
    {"iPod4,1", "4th Gen iPod"},
    {"iPod5,1", "5th Gen iPod"},
    {"iPod7,1", "6th Gen iPod"},
    {"iPod9,1", "7th Gen iPod"},
    {"iPad1,1", "iPad"},
    {"iPad1,2", "iPad 3G"},
    {"iPad2,1", "iPad 2"},
    {"iPad2,2", "iPad 2"},
    {"iPad2,3", "iPad 2"},
    {"iPad2,4", "iPad 2"},
    {"iPad2,5", "iPad mini"},
    {"iPad2,6", "iPad mini"},
    {"iPad2,7", "iPad mini"},
    {"iPad3,1", "iPad 3"},
    {"iPad3,2", "iPad 3"},
    {"iPad3,3", "iPad 3"},
    {"iPad3,4", "iPad 4"},
    {"iPad3,5", "iPad 4"},
    {"iPad3,6", "iPad 4"},
    {"iPad4,1", "iPad Air"},
    {"iPad4,2", "iPad Air"},
    {"iPad4,3", "iPad Air"},
    {"iPad4,4", "iPad mini Retina"},
    {"iPad4,5", "iPad mini Retina"},
    {"iPad4,6", "iPad mini Retina"},
    {"iPad4,7", "iPad mini 3"},
    {"iPad4,8", "iPad mini 3"},
    {"iPad4,9", "iPad mini 3"},
    {"iPad5,1", "iPad mini 4"},
    {"iPad5,2", "iPad mini 4"},
    {"iPad5,3", "iPad Air 2"},
    {"iPad5,4", "iPad Air 2"},
    {"iPad6,3", "iPad Pro (9.7 inch)"},
    {"iPad6,4", "iPad Pro (9.7 inch)"},
    {"iPad6,7", "iPad Pro (12.9 inch)"},
    {"iPad6,8", "iPad Pro (12.9 inch)"},
    {"iPad6,11", "iPad (5th Generation)"},
    {"iPad6,12", "iPad (5th Generation)"},
    {"iPad7,1", "iPad Pro (12.9-inch, 2nd generation)"},
    {"iPad7,2", "iPad Pro (12.9-inch, 2nd generation)"},
    {"iPad7,3", "iPad Pro (10.5-inch, 2nd generation)"},
    {"iPad7,4", "iPad Pro (10.5-inch, 2nd generation)"},
    {"iPad7,5", "iPad (6th Generation)"},
    {"iPad7,6", "iPad (6th Generation)"},
    {"iPad7,11", "iPad (10.2-inch, 7th generation)"},
    {"iPad7,12", "iPad (10.2-inch, 7th generation)"},
    {"iPad8,1", "iPad Pro (11-inch, 3rd generation)"},
    {"iPad8,2", "iPad Pro (11-inch, 3rd generation)"},
    {"iPad8,3", "iPad Pro (11-inch, 3rd generation)"},
    {"iPad8,4", "iPad Pro (11-inch, 3rd generation)"},
    {"iPad8,5", "iPad Pro (12.9-inch, 3rd generation)"},
    {"iPad8,6", "iPad Pro (12.9-inch, 3rd generation)"},
    {"iPad8,7", "iPad Pro (12.9-inch, 3rd generation)"},
    {"iPad8,8", "iPad Pro (12.9-inch, 3rd generation)"},
    {"iPad11,1", "iPad mini 5"},
    {"iPad11,2", "iPad mini 5"},
    {"iPad11,3", "iPad Air 3"},
    {"iPad11,4", "iPad Air 3"},
};

}  // namespace

std::optional<std::string_view> QXModelNames::nameFor(std::string_view machine) {
  // 98 short entries: a linear scan costs less than building an index, and
  // it runs once per launch.
  for (const Entry& entry : kTable) {
    if (entry.machine == machine) return entry.name;
  }
  return std::nullopt;
}

const QXModelNames::Entry* QXModelNames::begin() {
  return std::begin(kTable);
}

const QXModelNames::Entry* QXModelNames::end() {
  return std::end(kTable);
}

size_t QXModelNames::size() {
  return std::size(kTable);
}
