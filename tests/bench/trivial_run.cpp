// The baseline for the launcher's whole-run cost: a program of the same kind that does nothing
// but the launcher's fixed 500 ms settle wait.
#include <chrono>
#include <thread>

int main()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 0;
}
