#include "application_lifetime.h"

#include "application.h"
#include "ts_middle.h"

namespace board_test {

void drop_application() {
  if (_app != nullptr) {
    delete static_cast<aurelis::application*>(static_cast<tessel::appbase*>(_app));
    _app = nullptr;
  }
}

}  // namespace board_test
