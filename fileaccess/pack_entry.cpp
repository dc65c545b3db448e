// Placeholder until pack entries are decoded.
#include "fileaccess/fpk.h"

bool CFPK::OpenEntry(const char* /*name*/) { return false; }

void CFPK::CloseEntry() { m_current = -1; }

int32_t CFPK::ReadStored(uint8_t* /*dest*/, int32_t /*count*/) { return 0; }

int32_t CFPK::ReadLz(uint8_t* /*dest*/, int32_t /*count*/) { return 0; }

int32_t CFPK::ReadRle(uint8_t* /*dest*/, int32_t /*count*/) { return 0; }

bool CFPK::DecodeRle(uint8_t* /*dest*/, const uint8_t* /*packed*/, const RleHeader* /*header*/) {
  return false;
}
