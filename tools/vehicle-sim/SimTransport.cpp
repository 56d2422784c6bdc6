#include "SimTransport.h"

SimTransport::~SimTransport() = default;
