#include "sender/sender.h"

#include "core/lifecycle.h"

void sender_main() {
  runtime_start();
  runtime_exit();
}
