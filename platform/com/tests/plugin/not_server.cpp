// A shared library that is not a component server: it exports none of the
// entries the runtime and the registration program look for.
extern "C" __attribute__((visibility("default"))) int QuorNotAServer() { return 42; }
