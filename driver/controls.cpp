#include "driver/QM4700RX2VA9.hpp"

int QM4700RX2VA9::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                  int output_capacity, int& returned_length)
{
    return ZKVVDevice::DeviceIoControl(code, input, input_length, output, output_capacity,
                                       returned_length);
}

float QM4700RX2VA9::Get_Value(unsigned int variable, const std::string& name) const
{
    return Core::Get_Value(variable, name);
}
