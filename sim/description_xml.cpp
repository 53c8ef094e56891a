// The virtual camera's GenICam description. Every address below is one of
// register_layout.hpp; the description is served from device memory at
// reg::DESCRIPTION_BASE and named by the location registers.
//
// Besides the standard camera features it uses each element kind and child
// element a GenICam client reads: Integer, Float, Boolean, Command,
// Enumeration with entries, String, Category, SwissKnife, IntSwissKnife,
// Converter, IntConverter, IntReg (signed and unsigned, big- and
// little-endian), MaskedIntReg, FloatReg of 4 and 8 bytes, StringReg,
// Register, StructReg with StructEntry children, Group, pInvalidator,
// inline IntSwissKnife address terms, the three Cachable modes and the
// three access modes, and what a person is shown of a feature (DisplayName,
// ToolTip, Unit, Visibility, Representation, selectors with pSelected).
// Known values a client can check (factory state):
//   DeviceTemperature  -12.25 (raw 0xF3C0, 16-bit signed big-endian)
//   BlackLevel         -5.0   (raw -20, 32-bit signed little-endian)
//   BinningHorizontal  1      (raw 0, 32-bit unsigned little-endian)
//   Gain               1.5    (single, big-endian)
//   ExposureTime       10000  (double, big-endian)
//   DeviceUserData     bytes 0, 1, ..., 63
#include <string_view>

namespace corvantic::sim {

extern const std::string_view DESCRIPTION_XML;

const std::string_view DESCRIPTION_XML = R"XML(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="VirtualCamera" VendorName="Corvantic" ToolTip="corvantic virtual GigE Vision camera"
    StandardNameSpace="GEV" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="5C0A7E21-3F1B-4C2D-9E8A-0B1C2D3E4F50" VersionGuid="5C0A7E21-3F1B-4C2D-9E8A-0B1C2D3E4F51"
    xmlns="http://www.genicam.org/GenApi/Version_1_1"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:schemaLocation="http://www.genicam.org/GenApi/Version_1_1 http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd">

  <Group Comment="Categories">
    <Category Name="Root" NameSpace="Standard">
      <pFeature>DeviceControl</pFeature>
      <pFeature>ImageFormatControl</pFeature>
      <pFeature>AcquisitionControl</pFeature>
      <pFeature>AnalogControl</pFeature>
      <pFeature>TransportLayerControl</pFeature>
      <pFeature>UserDataControl</pFeature>
    </Category>
    <Category Name="DeviceControl" NameSpace="Standard">
      <pFeature>DeviceVendorName</pFeature>
      <pFeature>DeviceModelName</pFeature>
      <pFeature>DeviceVersion</pFeature>
      <pFeature>DeviceManufacturerInfo</pFeature>
      <pFeature>DeviceSerialNumber</pFeature>
      <pFeature>DeviceID</pFeature>
      <pFeature>DeviceFamilyName</pFeature>
      <pFeature>DeviceUserID</pFeature>
      <pFeature>DeviceTemperature</pFeature>
      <pFeature>TestEventGenerate</pFeature>
    </Category>
    <Category Name="ImageFormatControl" NameSpace="Standard">
      <pFeature>SensorWidth</pFeature>
      <pFeature>SensorHeight</pFeature>
      <pFeature>WidthMax</pFeature>
      <pFeature>HeightMax</pFeature>
      <pFeature>Width</pFeature>
      <pFeature>Height</pFeature>
      <pFeature>OffsetX</pFeature>
      <pFeature>OffsetY</pFeature>
      <pFeature>PixelFormat</pFeature>
      <pFeature>ReverseX</pFeature>
      <pFeature>ReverseY</pFeature>
      <pFeature>DigitalShift</pFeature>
      <pFeature>BinningHorizontal</pFeature>
      <pFeature>TestPattern</pFeature>
    </Category>
    <Category Name="AcquisitionControl" NameSpace="Standard">
      <pFeature>AcquisitionMode</pFeature>
      <pFeature>AcquisitionFrameCount</pFeature>
      <pFeature>AcquisitionStart</pFeature>
      <pFeature>AcquisitionStop</pFeature>
      <pFeature>AcquisitionStatus</pFeature>
      <pFeature>AcquisitionFrameRate</pFeature>
      <pFeature>ResultingFrameRate</pFeature>
      <pFeature>ExposureTime</pFeature>
    </Category>
    <Category Name="AnalogControl" NameSpace="Standard">
      <pFeature>Gain</pFeature>
      <pFeature>BlackLevel</pFeature>
    </Category>
    <Category Name="TransportLayerControl" NameSpace="Standard">
      <pFeature>PayloadSize</pFeature>
      <pFeature>TLParamsLocked</pFeature>
      <pFeature>GevCCP</pFeature>
      <pFeature>GevHeartbeatTimeout</pFeature>
      <pFeature>GevGVCPHeartbeatDisable</pFeature>
      <pFeature>GevTimestampTickFrequency</pFeature>
      <pFeature>GevTimestampControlLatch</pFeature>
      <pFeature>GevTimestampValue</pFeature>
      <pFeature>GevStreamChannelSelector</pFeature>
      <pFeature>GevSCPHostPort</pFeature>
      <pFeature>GevSCPSPacketSize</pFeature>
      <pFeature>GevSCPSDoNotFragment</pFeature>
      <pFeature>GevSCPSFireTestPacket</pFeature>
      <pFeature>GevSCPD</pFeature>
      <pFeature>GevSCDA</pFeature>
    </Category>
    <Category Name="UserDataControl" NameSpace="Custom">
      <pFeature>DeviceUserData</pFeature>
    </Category>
  </Group>

  <Group Comment="DeviceControl">
    <StringReg Name="DeviceVendorName" NameSpace="Standard">
      <DisplayName>Vendor Name</DisplayName>
      <Address>0x0048</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceModelName" NameSpace="Standard">
      <Address>0x0068</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceVersion" NameSpace="Standard">
      <Address>0x0088</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceManufacturerInfo" NameSpace="Standard">
      <Address>0x00A8</Address>
      <Length>48</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceSerialNumber" NameSpace="Standard">
      <Address>0x00D8</Address>
      <Length>16</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <String Name="DeviceID" NameSpace="Standard">
      <pValue>DeviceSerialNumber</pValue>
    </String>
    <String Name="DeviceFamilyName" NameSpace="Standard">
      <Value>corvantic virtual camera</Value>
    </String>
    <StringReg Name="DeviceUserID" NameSpace="Standard">
      <Address>0x00E8</Address>
      <Length>16</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
    </StringReg>
    <Converter Name="DeviceTemperature" NameSpace="Standard">
      <Unit>C</Unit>
      <FormulaTo>FROM * 256</FormulaTo>
      <FormulaFrom>TO / 256.0</FormulaFrom>
      <pValue>DeviceTemperatureRaw</pValue>
    </Converter>
    <IntReg Name="DeviceTemperatureRaw">
      <Address>0x10054</Address>
      <Length>2</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Signed</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="TestEventGenerate" NameSpace="Custom">
      <ToolTip>Sends one EVENT with id 0x9000 to the host.</ToolTip>
      <pValue>TestEventGenerateReg</pValue>
    </Command>
    <IntReg Name="TestEventGenerateReg">
      <Address>0x1005C</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="ImageFormatControl">
    <Integer Name="SensorWidth" NameSpace="Standard">
      <pValue>SensorWidthReg</pValue>
    </Integer>
    <IntReg Name="SensorWidthReg">
      <Address>0x10018</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="SensorHeight" NameSpace="Standard">
      <pValue>SensorHeightReg</pValue>
    </Integer>
    <IntReg Name="SensorHeightReg">
      <Address>0x1001C</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteAround</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntSwissKnife Name="WidthMax" NameSpace="Standard">
      <pVariable Name="SENSOR">SensorWidth</pVariable>
      <pVariable Name="OFFSET">OffsetX</pVariable>
      <Formula>SENSOR - OFFSET</Formula>
    </IntSwissKnife>
    <IntSwissKnife Name="HeightMax" NameSpace="Standard">
      <pVariable Name="SENSOR">SensorHeight</pVariable>
      <pVariable Name="OFFSET">OffsetY</pVariable>
      <Formula>SENSOR - OFFSET</Formula>
    </IntSwissKnife>
    <IntSwissKnife Name="OffsetXMax">
      <pVariable Name="SENSOR">SensorWidth</pVariable>
      <pVariable Name="W">Width</pVariable>
      <Formula>SENSOR - W</Formula>
    </IntSwissKnife>
    <IntSwissKnife Name="OffsetYMax">
      <pVariable Name="SENSOR">SensorHeight</pVariable>
      <pVariable Name="H">Height</pVariable>
      <Formula>SENSOR - H</Formula>
    </IntSwissKnife>
    <Integer Name="Width" NameSpace="Standard">
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>WidthReg</pValue>
      <Min>16</Min>
      <pMax>WidthMax</pMax>
      <Inc>4</Inc>
    </Integer>
    <IntReg Name="WidthReg">
      <Address>0x10000</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="Height" NameSpace="Standard">
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>HeightReg</pValue>
      <Min>8</Min>
      <pMax>HeightMax</pMax>
      <Inc>1</Inc>
    </Integer>
    <IntReg Name="HeightReg">
      <Address>0x10004</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetX" NameSpace="Standard">
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>OffsetXReg</pValue>
      <Min>0</Min>
      <pMax>OffsetXMax</pMax>
      <Inc>4</Inc>
    </Integer>
    <IntReg Name="OffsetXReg">
      <Address>0x10008</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetY" NameSpace="Standard">
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>OffsetYReg</pValue>
      <Min>0</Min>
      <pMax>OffsetYMax</pMax>
    </Integer>
    <IntReg Name="OffsetYReg">
      <Address>0x1000C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="PixelFormat" NameSpace="Standard">
      <pIsLocked>TLParamsLocked</pIsLocked>
      <EnumEntry Name="Mono8" NameSpace="Standard">
        <Value>0x01080001</Value>
      </EnumEntry>
      <EnumEntry Name="Mono16" NameSpace="Standard">
        <Value>0x01100007</Value>
      </EnumEntry>
      <EnumEntry Name="RGB8" NameSpace="Standard">
        <Value>0x02180014</Value>
      </EnumEntry>
      <pValue>PixelFormatReg</pValue>
    </Enumeration>
    <IntReg Name="PixelFormatReg">
      <Address>0x10010</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="ReverseX" NameSpace="Standard">
      <pValue>ReverseXReg</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <Boolean Name="ReverseY" NameSpace="Standard">
      <pValue>ReverseYReg</pValue>
    </Boolean>
    <Integer Name="DigitalShift" NameSpace="Standard">
      <pValue>DigitalShiftReg</pValue>
      <Min>0</Min>
      <Max>4</Max>
    </Integer>
    <!-- Three bit fields of one register: each invalidates the others' cached copies. -->
    <MaskedIntReg Name="ReverseXReg">
      <Address>0x1003C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <pInvalidator>ReverseYReg</pInvalidator>
      <pInvalidator>DigitalShiftReg</pInvalidator>
      <Bit>31</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <MaskedIntReg Name="ReverseYReg">
      <Address>0x1003C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <pInvalidator>ReverseXReg</pInvalidator>
      <pInvalidator>DigitalShiftReg</pInvalidator>
      <Bit>30</Bit>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <MaskedIntReg Name="DigitalShiftReg">
      <Address>0x1003C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <pInvalidator>ReverseXReg</pInvalidator>
      <pInvalidator>ReverseYReg</pInvalidator>
      <LSB>27</LSB>
      <MSB>24</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <IntConverter Name="BinningHorizontal" NameSpace="Standard">
      <FormulaTo>FROM - 1</FormulaTo>
      <FormulaFrom>TO + 1</FormulaFrom>
      <pValue>BinningHorizontalRaw</pValue>
    </IntConverter>
    <IntReg Name="BinningHorizontalRaw">
      <Address>0x10058</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
    <Enumeration Name="TestPattern" NameSpace="Standard">
      <DisplayName>Test Pattern</DisplayName>
      <ToolTip>Selects the picture the sensor delivers instead of light.</ToolTip>
      <EnumEntry Name="Off">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="GreyHorizontalRamp">
        <DisplayName>Grey Horizontal Ramp</DisplayName>
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="GreyVerticalRamp">
        <Value>2</Value>
      </EnumEntry>
      <EnumEntry Name="GreyDiagonalRamp">
        <Value>3</Value>
      </EnumEntry>
      <EnumEntry Name="GreyDiagonalRampMoving">
        <ToolTip>A gradient, a bar moving one step per frame and the frame counter.</ToolTip>
        <DisplayName>Grey Diagonal Ramp Moving</DisplayName>
        <Value>4</Value>
      </EnumEntry>
      <pValue>TestPatternReg</pValue>
    </Enumeration>
    <IntReg Name="TestPatternReg">
      <Address>0x10038</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="AcquisitionControl">
    <Enumeration Name="AcquisitionMode" NameSpace="Standard">
      <EnumEntry Name="Continuous" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="SingleFrame" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="MultiFrame" NameSpace="Standard">
        <Value>2</Value>
      </EnumEntry>
      <pValue>AcquisitionModeReg</pValue>
    </Enumeration>
    <IntReg Name="AcquisitionModeReg">
      <Address>0x10020</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="AcquisitionFrameCount" NameSpace="Standard">
      <pValue>AcquisitionFrameCountReg</pValue>
      <Min>1</Min>
      <Max>65535</Max>
    </Integer>
    <IntReg Name="AcquisitionFrameCountReg">
      <Address>0x10024</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStart" NameSpace="Standard">
      <pValue>AcquisitionStartReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStartReg">
      <Address>0x10028</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStop" NameSpace="Standard">
      <pValue>AcquisitionStopReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStopReg">
      <Address>0x1002C</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="AcquisitionStatus" NameSpace="Standard">
      <pValue>AcquisitionStatusReg</pValue>
    </Boolean>
    <IntReg Name="AcquisitionStatusReg">
      <Address>0x10034</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Float Name="AcquisitionFrameRate" NameSpace="Standard">
      <Unit>Hz</Unit>
      <pValue>AcquisitionFrameRateReg</pValue>
      <Min>0.0</Min>
      <Max>10000.0</Max>
    </Float>
    <FloatReg Name="AcquisitionFrameRateReg">
      <Address>0x1004C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>LittleEndian</Endianess>
    </FloatReg>
    <SwissKnife Name="ResultingFrameRate" NameSpace="Standard">
      <pVariable Name="RATE">AcquisitionFrameRate</pVariable>
      <pVariable Name="EXPOSURE">ExposureTime</pVariable>
      <Formula>RATE &gt; 0 ? RATE : 1000000.0 / EXPOSURE</Formula>
    </SwissKnife>
    <Float Name="ExposureTime" NameSpace="Standard">
      <Unit>us</Unit>
      <pValue>ExposureTimeReg</pValue>
      <Min>10.0</Min>
      <Max>1000000.0</Max>
    </Float>
    <FloatReg Name="ExposureTimeReg">
      <Address>0x10040</Address>
      <Length>8</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
    </FloatReg>
  </Group>

  <Group Comment="AnalogControl">
    <Float Name="Gain" NameSpace="Standard">
      <Unit>dB</Unit>
      <pValue>GainReg</pValue>
      <Min>0.0</Min>
      <Max>24.0</Max>
    </Float>
    <FloatReg Name="GainReg">
      <Address>0x10048</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
    </FloatReg>
    <Converter Name="BlackLevel" NameSpace="Standard">
      <FormulaTo>FROM * 4</FormulaTo>
      <FormulaFrom>TO / 4.0</FormulaFrom>
      <pValue>BlackLevelRaw</pValue>
    </Converter>
    <IntReg Name="BlackLevelRaw">
      <Address>0x10050</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Signed</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="TransportLayerControl">
    <IntSwissKnife Name="PayloadSize" NameSpace="Standard">
      <pVariable Name="W">Width</pVariable>
      <pVariable Name="H">Height</pVariable>
      <pVariable Name="PF">PixelFormat</pVariable>
      <Formula>W * H * ((PF &gt;&gt; 16) &amp; 0xFF) / 8</Formula>
    </IntSwissKnife>
    <!-- The device's own figure; a client caches it until one of the image format registers is written. -->
    <IntReg Name="PayloadSizeReg">
      <Address>0x10014</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <pInvalidator>WidthReg</pInvalidator>
      <pInvalidator>HeightReg</pInvalidator>
      <pInvalidator>PixelFormatReg</pInvalidator>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="TLParamsLocked" NameSpace="Standard">
      <pValue>TLParamsLockedReg</pValue>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <IntReg Name="TLParamsLockedReg">
      <Address>0x10030</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="GevCCP" NameSpace="Standard">
      <Visibility>Guru</Visibility>
      <EnumEntry Name="OpenAccess">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="ExclusiveAccess">
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="ControlAccess">
        <Value>2</Value>
      </EnumEntry>
      <pValue>GevCCPReg</pValue>
    </Enumeration>
    <IntReg Name="GevCCPReg">
      <Address>0x0A00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevHeartbeatTimeout" NameSpace="Standard">
      <Visibility>Expert</Visibility>
      <Unit>ms</Unit>
      <pValue>GevHeartbeatTimeoutReg</pValue>
      <Min>100</Min>
      <Max>600000</Max>
    </Integer>
    <IntReg Name="GevHeartbeatTimeoutReg">
      <Address>0x0938</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="GevGVCPHeartbeatDisable" NameSpace="Standard">
      <pValue>GevGVCPHeartbeatDisableReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevGVCPHeartbeatDisableReg">
      <Address>0x0954</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>31</Bit>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <IntReg Name="GevTimestampTickFrequency" NameSpace="Standard">
      <Address>0x093C</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="GevTimestampControlLatch" NameSpace="Standard">
      <pValue>GevTimestampControlReg</pValue>
      <CommandValue>2</CommandValue>
    </Command>
    <IntReg Name="GevTimestampControlReg">
      <Address>0x0944</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevTimestampValue" NameSpace="Standard">
      <Address>0x0948</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevStreamChannelSelector" NameSpace="Standard">
      <DisplayName>Stream Channel Selector</DisplayName>
      <Visibility>Expert</Visibility>
      <pSelected>GevSCPHostPort</pSelected>
      <pSelected>GevSCPSPacketSize</pSelected>
      <pSelected>GevSCPD</pSelected>
      <pSelected>GevSCDA</pSelected>
      <Value>0</Value>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <!-- Stream channel registers: channel c sits 0x40 * c above channel 0. -->
    <MaskedIntReg Name="GevSCPHostPort" NameSpace="Standard">
      <Address>0x0D00</Address>
      <IntSwissKnife Name="GevSCPHostPortOffset">
        <pVariable Name="SEL">GevStreamChannelSelector</pVariable>
        <Formula>SEL * 0x40</Formula>
      </IntSwissKnife>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <StructReg Comment="GevSCPS">
      <Address>0x0D04</Address>
      <IntSwissKnife>
        <pVariable Name="SEL">GevStreamChannelSelector</pVariable>
        <Formula>SEL * 0x40</Formula>
      </IntSwissKnife>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Endianess>BigEndian</Endianess>
      <StructEntry Name="GevSCPSFireTestPacket" NameSpace="Standard">
        <Bit>0</Bit>
        <Endianess>BigEndian</Endianess>
      </StructEntry>
      <StructEntry Name="GevSCPSDoNotFragment" NameSpace="Standard">
        <Bit>1</Bit>
        <Endianess>BigEndian</Endianess>
      </StructEntry>
      <StructEntry Name="GevSCPSPacketSize" NameSpace="Standard">
        <LSB>31</LSB>
        <MSB>16</MSB>
        <Sign>Unsigned</Sign>
        <Endianess>BigEndian</Endianess>
      </StructEntry>
    </StructReg>
    <IntReg Name="GevSCPD" NameSpace="Standard">
      <Address>0x0D08</Address>
      <IntSwissKnife>
        <pVariable Name="SEL">GevStreamChannelSelector</pVariable>
        <Formula>SEL * 0x40</Formula>
      </IntSwissKnife>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevSCDA" NameSpace="Standard">
      <Visibility>Guru</Visibility>
      <Representation>IPV4Address</Representation>
      <Address>0x0D18</Address>
      <IntSwissKnife>
        <pVariable Name="SEL">GevStreamChannelSelector</pVariable>
        <Formula>SEL * 0x40</Formula>
      </IntSwissKnife>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="UserDataControl">
    <Register Name="DeviceUserData" NameSpace="Custom">
      <Address>0x10100</Address>
      <Length>64</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
    </Register>
  </Group>

  <Port Name="Device" NameSpace="Standard"/>
</RegisterDescription>
)XML";

}  // namespace corvantic::sim
