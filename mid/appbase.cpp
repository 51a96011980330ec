#include "appbase.h"

namespace tessel {

appbase::appbase() = default;

}  // namespace tessel
