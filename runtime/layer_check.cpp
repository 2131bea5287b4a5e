// The program of a layer check (see CMakeLists.txt): it does nothing; that it links at all
// shows the layer calls nothing above it.
int main() { return 0; }
