#include "line_decoder.h"

LineCode classifyLineCode(uint8_t code)
{
    switch (code) {
    case lineEtx:
        return LineCode::EndOfData;
    case lineDle:
        return LineCode::DataDle;
    case lineDc4:
        return LineCode::StopAudioToTty;
    case '*':
    case '#':
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        return LineCode::Touchtone;
    default:
        return code >= '0' && code <= '9' ? LineCode::Touchtone : LineCode::Other;
    }
}

LineByte decodeLineByte(LineDecoder& decoder, uint8_t byte)
{
    if (decoder.dlePending) {
        decoder.dlePending = false;
        return LineByte::Code;
    }
    if (byte == lineDle) {
        decoder.dlePending = true;
        return LineByte::Escape;
    }
    return LineByte::Audio;
}
