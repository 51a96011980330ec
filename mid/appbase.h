// The abstract base of the one application object each firmware runs. The
// start-up bridge (ts_middle) creates the board's aurelis::application, calls
// setup() once and then loop() for ever, both through this interface.
#pragma once

namespace tessel {

class appbase {
 public:
  appbase();
  appbase(const appbase&) = delete;
  appbase& operator=(const appbase&) = delete;

  virtual void setup() = 0;  // once, before pin-change events are let through
  virtual void loop() = 0;   // repeatedly, back to back

 protected:
  // Not virtual: the application is never destroyed through this interface.
  // Protected, so that such a deletion does not even compile.
  ~appbase() = default;
};

}  // namespace tessel
