// vexo-rx: a virtual NDI receiver (placeholder).
int main() { return 1; }
