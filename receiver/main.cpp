#include "receiver/receiver.h"

int main() { receiver_main(); }
