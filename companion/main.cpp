// Filled in by the work in progress on the daemon.
int main() {
    return 1;
}
