#include "console/allocation.h"

#include "console/output.h"

void ReportNoMemory(size_t size)
{
    Output("Cannot allocate memory for size %lu\r\n", static_cast<unsigned long>(size));
}

void* AllocateZeroed(size_t count, size_t size)
{
    void* memory = std::calloc(count, size);
    if (memory == nullptr && count != 0)
        ReportNoMemory(count * size);
    return memory;
}
