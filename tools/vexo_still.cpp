// vexo-still: makes still files (placeholder).
int main() { return 1; }
