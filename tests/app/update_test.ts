<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>QObject</name>
    <message><source>Notice</source><translation>U-Notice</translation></message>
    <message><source>Shared</source><translation>U-Shared</translation></message>
</context>
</TS>
