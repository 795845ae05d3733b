// Status codes shared by every qor operation. Every operation returns one of
// these as an int; a remote operation returns it as its result.
#pragma once

constexpr int NS_S_OK = 0;         // success
constexpr int NS_S_TRUNCATED = 1;  // a recovery file ends after an entry's name line
constexpr int NS_S_NOCLASS = 5;    // not a class that can serve the request, or no class name
constexpr int NS_S_NODOMAIN = 7;   // no domain to write; other domain unreachable via name service
constexpr int NS_S_NOTLOCKED = 9;  // reader/writer lock given back while not held
constexpr int NS_S_NOID = 10;      // no object identity, or one without a name
constexpr int NS_S_NODATA = 11;    // required data missing or not storable
constexpr int NS_S_EOF = 12;       // end of a file or list; never returned to a client
constexpr int NS_S_NOTINIT = 13;   // not initialised (event log, registry)
constexpr int NS_S_NOMEM = 14;     // memory exhausted
constexpr int NS_S_NOENTRY = 15;   // no such entry
constexpr int NS_S_EXISTS = 16;    // the name exists and may not be overwritten
constexpr int NS_S_NOTARGET = 17;  // the object's association names no existing object
constexpr int NS_S_FORWARD = 18;   // a forwarded call failed or no binding answered
constexpr int NS_S_SYSFAIL = 19;   // failed platform call, bad file, refused start
