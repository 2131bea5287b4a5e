#include "sender/sender.h"

int main() { sender_main(); }
