// The floor of a process: what the C and C++ runtimes cost (time, heap) on
// their own, in a program built and linked like the tool and doing nothing.
int main()
{
    return 0;
}
