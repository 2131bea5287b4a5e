#include "receiver/receiver.h"

#include "core/lifecycle.h"

void receiver_main() {
  runtime_start();
  runtime_exit();
}
