// Placeholder until pack archives are read: every named pack fails to open.
#include "fileaccess/fpk.h"

bool CFPK::OpenPackFile(const char* /*packName*/) { return false; }

int32_t CFPK::FindEntry(const char* /*name*/) const { return -1; }

uint16_t CFPK::HashName(const char* /*name*/) { return 0; }

void CFPK::UnscrambleIndex(int32_t /*count*/, uint32_t /*key*/, PackEntry* /*records*/) {}
