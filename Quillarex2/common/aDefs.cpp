#include "common/aDefs.h"

namespace {

struct Model {
    unsigned type;
    const char* name;
};

// Keys are fixed by the modules; names are at most 13 characters.
constexpr Model kModels[] = {
    {4, "HubPro8"},       {5, "HubLite4"},      {13, "IOBoard16"},   {14, "ADC8Scope"},
    {15, "RelayBank4"},   {16, "SwitchHub2"},   {17, "ThermoLog6"},  {18, "PowerMeter"},
    {19, "GPIOMax32"},    {20, "DAC4Wave"},     {21, "HubIndustr12"}, {22, "IsoBridge"},
    {23, "CanLink2"},     {24, "MotorDrive3"},  {25, "StrainGauge"}, {26, "SerialHub4"},
    {27, "NetRouter"},
};

}  // namespace

const char* aDefs_GetModelName(unsigned type) {
    for (const Model& model : kModels) {
        if (model.type == type) return model.name;
    }
    return "Unknown";
}
