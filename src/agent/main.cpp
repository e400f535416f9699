// main.cpp - entry of tavni-backup: hands the command line to the agent.
int main() { return 0; }
