#ifndef QUORVEX_PLATFORM_QXEXPORT_H_
#define QUORVEX_PLATFORM_QXEXPORT_H_

// The export mark of the installed headers.
//
// The library is compiled with every symbol hidden (-fvisibility=hidden,
// -fvisibility-inlines-hidden). QX_EXPORT marks what the installed headers
// offer a host: a class (its out-of-line members, virtual table and type
// information), a function or a constant. A shared library exports exactly
// these; in a static one the mark changes nothing. It lives in the platform,
// the lowest room, so that every room can include it.
#define QX_EXPORT __attribute__((visibility("default")))

#endif  // QUORVEX_PLATFORM_QXEXPORT_H_
