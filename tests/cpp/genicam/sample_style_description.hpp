// A description with chunk and event data written the way real cameras'
// descriptions write theirs (the FLIR and Point Grey ones: little-endian
// registers, ImposedAccessMode, a chunk selector held as a constant or in a
// register, an Event<Name> id constant beside the event port, an event's
// fields addressed from the start of its record), over the virtual
// camera's registers where it reaches the device.
#pragma once

#include <string_view>

namespace corvantic::genicam {

// Gain chunk 0x05200009: four little-endian signed gains (All, Red, Green,
// Blue), ChunkGain reading the one ChunkGainSelector (a constant) selects,
// in dB. Black level chunk 0x0504000B: four little-endian values,
// ChunkBlackLevel reading the one ChunkBlackLevelSelector (a register at
// the virtual camera's 0x10064) selects. Event 0x9C43 (ExposureEnd) in the
// FLIR form, event 0x9C42 (ExposureStart) in the Point Grey form, whose
// EventExposureStart reads the id from the record.
inline constexpr std::string_view SAMPLE_STYLE_DESCRIPTION = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="SampleStyle" VendorName="Corvantic" StandardNameSpace="GEV">
  <Integer Name="Width" NameSpace="Standard">
    <pValue>Width_Val</pValue>
  </Integer>
  <IntReg Name="Width_Val">
    <Address>0x10000</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Port Name="Device" NameSpace="Standard"/>

  <Enumeration Name="ChunkGainSelector" NameSpace="Standard">
    <EnumEntry Name="All" NameSpace="Standard"><Value>0</Value></EnumEntry>
    <EnumEntry Name="Red" NameSpace="Standard"><Value>1</Value></EnumEntry>
    <EnumEntry Name="Green" NameSpace="Standard"><Value>2</Value></EnumEntry>
    <EnumEntry Name="Blue" NameSpace="Standard"><Value>3</Value></EnumEntry>
    <pValue>ChunkGainSelectorInt</pValue>
    <pSelected>ChunkGain</pSelected>
  </Enumeration>
  <Integer Name="ChunkGainSelectorInt">
    <Visibility>Invisible</Visibility>
    <Value>0</Value>
  </Integer>
  <Float Name="ChunkGain" NameSpace="Standard">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <pValue>ChunkGainDB</pValue>
    <Unit>dB</Unit>
  </Float>
  <SwissKnife Name="ChunkGainDB">
    <pVariable Name="RAW">ChunkGain_Val</pVariable>
    <Formula>RAW/10</Formula>
  </SwissKnife>
  <IntReg Name="ChunkGain_Val">
    <pAddress>ChunkGainAddr</pAddress>
    <Length>4</Length>
    <AccessMode>RO</AccessMode>
    <pPort>GainPort</pPort>
    <Sign>Signed</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntSwissKnife Name="ChunkGainAddr">
    <pVariable Name="SEL">ChunkGainSelectorInt</pVariable>
    <Formula>SEL * 4</Formula>
  </IntSwissKnife>
  <Port Name="GainPort">
    <ChunkID>05200009</ChunkID>
  </Port>

  <Enumeration Name="ChunkBlackLevelSelector" NameSpace="Standard">
    <EnumEntry Name="All" NameSpace="Standard"><Value>0</Value></EnumEntry>
    <EnumEntry Name="Red" NameSpace="Standard"><Value>1</Value></EnumEntry>
    <pValue>ChunkBlackLevelSelector_Reg</pValue>
    <pSelected>ChunkBlackLevel</pSelected>
  </Enumeration>
  <IntReg Name="ChunkBlackLevelSelector_Reg">
    <Address>0x10064</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Integer Name="ChunkBlackLevel" NameSpace="Standard">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <pValue>ChunkBlackLevel_Val</pValue>
  </Integer>
  <IntReg Name="ChunkBlackLevel_Val">
    <pAddress>ChunkBlackLevelAddr</pAddress>
    <Length>4</Length>
    <AccessMode>RO</AccessMode>
    <pPort>BlackLevelPort</pPort>
    <Sign>Signed</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntSwissKnife Name="ChunkBlackLevelAddr">
    <pVariable Name="SEL">ChunkBlackLevelSelector_Reg</pVariable>
    <Formula>SEL * 4</Formula>
  </IntSwissKnife>
  <Port Name="BlackLevelPort">
    <ChunkID>0504000B</ChunkID>
  </Port>

  <Enumeration Name="EventSelector" NameSpace="Standard">
    <EnumEntry Name="ExposureEnd" NameSpace="Standard"><Value>0x9C43</Value></EnumEntry>
    <EnumEntry Name="ExposureStart" NameSpace="Standard"><Value>0x9C42</Value></EnumEntry>
    <pValue>EventSelectorInt</pValue>
  </Enumeration>
  <Integer Name="EventSelectorInt">
    <Value>0x9C43</Value>
  </Integer>

  <Port Name="EventExposureEndPort">
    <EventID>9C43</EventID>
  </Port>
  <Integer Name="EventExposureEnd" NameSpace="Standard">
    <EventID>9C43</EventID>
    <ImposedAccessMode>RO</ImposedAccessMode>
    <Value>0x9C43</Value>
  </Integer>
  <Integer Name="EventExposureEndTimestamp" NameSpace="Standard">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <pValue>EventExposureEndTimestamp_Val</pValue>
  </Integer>
  <IntReg Name="EventExposureEndTimestamp_Val" NameSpace="Custom">
    <Address>0x4</Address>
    <Length>8</Length>
    <AccessMode>RO</AccessMode>
    <pPort>EventExposureEndPort</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>

  <Port Name="EventExposureStartPort">
    <EventID>9C42</EventID>
  </Port>
  <Integer Name="EventExposureStart" NameSpace="Custom">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <pValue>EventExposureStart_Reg</pValue>
  </Integer>
  <Integer Name="EventExposureStartTimestamp" NameSpace="Custom">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <pValue>EventExposureStartTimestamp_Reg</pValue>
  </Integer>
  <IntReg Name="EventExposureStart_Reg" NameSpace="Custom">
    <Address>0x2</Address>
    <Length>2</Length>
    <AccessMode>RO</AccessMode>
    <pPort>EventExposureStartPort</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntReg Name="EventExposureStartTimestamp_Reg" NameSpace="Custom">
    <Address>0x4</Address>
    <Length>8</Length>
    <AccessMode>RO</AccessMode>
    <pPort>EventExposureStartPort</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
</RegisterDescription>
)";

}  // namespace corvantic::genicam
