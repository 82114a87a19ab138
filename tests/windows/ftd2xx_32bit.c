/*
 * A 32-bit ftd2xx.dll, such as a user may copy beside wiretest.exe from the
 * wrong folder of the driver package: a valid Windows image that a 64-bit
 * process cannot load. Its entry point is all it holds; the loader fails
 * before it would look for any operation.
 */
int __stdcall entry(void *module, unsigned long reason, void *reserved)
{
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
