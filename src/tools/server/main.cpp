// main.cpp - tavni-server: the reference backup server.
int main() { return 0; }
