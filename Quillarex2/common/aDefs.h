// Names of the module models.
#ifndef QUILLAREX_ADEFS_H
#define QUILLAREX_ADEFS_H

// Short model name for a module type number as the module reports it;
// "Unknown" for numbers that name no model.
const char* aDefs_GetModelName(unsigned type);

#endif
