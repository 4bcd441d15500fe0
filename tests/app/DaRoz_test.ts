<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>DAROZ::VxMessageBox</name>
    <message><source>OK</source><translation>D-OK</translation></message>
</context>
<context>
    <name>QObject</name>
    <message><source>Shared</source><translation>D-Shared</translation></message>
</context>
</TS>
