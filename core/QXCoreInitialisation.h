#ifndef QUORVEX_CORE_QXCOREINITIALISATION_H_
#define QUORVEX_CORE_QXCOREINITIALISATION_H_

// Creating one initialises the core: the first creation in a process
// connects the platform's error reports to the logger, creates the core's
// variables and the network manager (which from then on delivers requests)
// and announces the user agent; later creations find all of it in place.
// The object itself holds nothing and may be dropped at once. Never throws:
// a failure is said at level 4, and the next creation tries again.
class QXCoreInitialisation {
 public:
  QXCoreInitialisation() noexcept;

  // How many have been created in this process (for diagnostics and tests).
  static int instancesCreated();

 private:
  static void initialiseOnce();
};

#endif  // QUORVEX_CORE_QXCOREINITIALISATION_H_
