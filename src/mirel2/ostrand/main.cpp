// The mirel-2 render host program. All of its logic lives in the ostrand library.
int main() { return 2; }
