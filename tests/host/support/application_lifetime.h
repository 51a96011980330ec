// The application object cpp_setup creates on the heap, as the host fixtures of
// both boards free it between tests.
#pragma once

namespace board_test {

// Frees the application cpp_setup created (if any) and clears _app.
void drop_application();

}  // namespace board_test
