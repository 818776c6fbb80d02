#include "OutPacketBuffer.hh"

unsigned OutPacketBuffer::maxSize = 60000;
