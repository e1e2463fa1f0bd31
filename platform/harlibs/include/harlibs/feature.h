// Feature switches of the host. Names are the configuration keys below "features/" (for
// example "credentialRead"). An unknown switch is off. Thread-safe.
#pragma once

#include <string>

// Readies the facility (clears every switch).
void FeatureState_Init();
bool FeatureList_IsEnabled(const std::string& name);
void FeatureList_Set(const std::string& name, bool on);
