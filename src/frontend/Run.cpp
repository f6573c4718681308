// Placeholder until the front end lands.
int Run(int, char**) { return 0; }
