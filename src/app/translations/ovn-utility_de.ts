<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Application</name>
    <message>
        <source>Maintenance for OVN USB photo printers: firmware and color-table updates, the USB serial-number setting and media counters.</source>
        <translation>Wartung für OVN-USB-Fotodrucker: Firmware- und Farbtabellen-Updates, die USB-Seriennummer-Einstellung und Medienzähler.</translation>
    </message>
    <message>
        <source>Show this help and quit.</source>
        <translation>Diese Hilfe anzeigen und beenden.</translation>
    </message>
    <message>
        <source>Show the version and quit.</source>
        <translation>Die Version anzeigen und beenden.</translation>
    </message>
    <message>
        <source>Work with emulated printers instead of USB, for example &quot;PL25D,PL35:fw=PL35 01.40&quot;.</source>
        <translation>Mit emulierten Druckern statt USB arbeiten, zum Beispiel &quot;PL25D,PL35:fw=PL35 01.40&quot;.</translation>
    </message>
    <message>
        <source>Also accept printers with this USB product ID (hexadecimal such as 0x5C01, or decimal). May be given more than once.</source>
        <translation>Auch Drucker mit dieser USB-Produkt-ID annehmen (hexadezimal wie 0x5C01 oder dezimal). Kann mehrfach angegeben werden.</translation>
    </message>
    <message>
        <source>Append every USB transfer to FILE, one JSON object a line.</source>
        <translation>Jede USB-Übertragung an DATEI anhängen, ein JSON-Objekt pro Zeile.</translation>
    </message>
    <message>
        <source>Save the window as an image once the printers have been read, then quit.</source>
        <translation>Das Fenster als Bild speichern, sobald die Drucker gelesen sind, und dann beenden.</translation>
    </message>
    <message>
        <source>Also write log lines to the standard error stream.</source>
        <translation>Protokollzeilen auch auf die Standardfehlerausgabe schreiben.</translation>
    </message>
    <message>
        <source>Unexpected argument: %1</source>
        <translation>Unerwartetes Argument: %1</translation>
    </message>
</context>
<context>
    <name>Localizable</name>
    <message>
        <source>USB Available</source>
        <translation>USB verfügbar</translation>
    </message>
    <message>
        <source>USB Open</source>
        <translation>USB geöffnet</translation>
    </message>
    <message>
        <source>Waiting for USB</source>
        <translation>Warte auf USB</translation>
    </message>
    <message>
        <source>USB Busy</source>
        <translation>USB belegt</translation>
    </message>
    <message>
        <source>Please power-cycle the selected printer now to complete the process!</source>
        <translation>Bitte schalten Sie den ausgewählten Drucker jetzt aus und wieder ein, um den Vorgang abzuschließen!</translation>
    </message>
    <message>
        <source>The Selected Printer is Unavailable. (Busy)</source>
        <translation>Der ausgewählte Drucker ist nicht verfügbar. (Belegt)</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>ovn::app::MainWindow</name>
    <message>
        <source>OVN Printer Utility — simulated printers</source>
        <translation>OVN-Druckerdienstprogramm — simulierte Drucker</translation>
    </message>
    <message>
        <source>OVN Printer Utility</source>
        <translation>OVN-Druckerdienstprogramm</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Printer</source>
        <translation>D&amp;rucker</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>&amp;Reset Counter</source>
        <translation>Zähler &amp;zurücksetzen</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Werkzeugleiste</translation>
    </message>
    <message>
        <source>&amp;Update Firmware…</source>
        <translation>Firmware &amp;aktualisieren …</translation>
    </message>
    <message>
        <source>Update the firmware and color tables of the selected printer</source>
        <translation>Firmware und Farbtabellen des ausgewählten Druckers aktualisieren</translation>
    </message>
    <message>
        <source>Reset Counter &amp;A</source>
        <translation>Zähler &amp;A zurücksetzen</translation>
    </message>
    <message>
        <source>Reset Counter &amp;B</source>
        <translation>Zähler &amp;B zurücksetzen</translation>
    </message>
    <message>
        <source>Reset Counter &amp;M</source>
        <translation>Zähler &amp;M zurücksetzen</translation>
    </message>
    <message>
        <source>Reset a media counter of the selected printer</source>
        <translation>Einen Medienzähler des ausgewählten Druckers zurücksetzen</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Quit the application</source>
        <translation>Das Programm beenden</translation>
    </message>
    <message>
        <source>&amp;About OVN Printer Utility</source>
        <translation>&amp;Über OVN-Druckerdienstprogramm</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>About &amp;Qt</source>
        <translation>Über &amp;Qt</translation>
    </message>
    <message>
        <source>No printers found</source>
        <translation>Keine Drucker gefunden</translation>
    </message>
    <message>
        <source>Connect an OVN printer by USB and switch it on. It appears here as soon as it is recognised.</source>
        <translation>Schließen Sie einen OVN-Drucker über USB an und schalten Sie ihn ein. Er erscheint hier, sobald er erkannt ist.</translation>
    </message>
    <message>
        <source>USB cannot be used: %1</source>
        <translation>USB kann nicht verwendet werden: %1</translation>
    </message>
    <message>
        <source>Simulated printers</source>
        <translation>Simulierte Drucker</translation>
    </message>
    <message>
        <source>No printers attached</source>
        <translation>Keine Drucker angeschlossen</translation>
    </message>
    <message>
        <source>1 printer attached</source>
        <translation>1 Drucker angeschlossen</translation>
    </message>
    <message>
        <source>%1 printers attached</source>
        <translation>%1 Drucker angeschlossen</translation>
    </message>
    <message>
        <source>Reset of counter %1 sent to %2.</source>
        <translation>Zurücksetzen von Zähler %1 an %2 gesendet.</translation>
    </message>
    <message>
        <source>About OVN Printer Utility</source>
        <translation>Über OVN-Druckerdienstprogramm</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>Maintenance for OVN USB photo printers: firmware and color-table updates, the USB serial-number setting and media counters.</source>
        <translation>Wartung für OVN-USB-Fotodrucker: Firmware- und Farbtabellen-Updates, die USB-Seriennummer-Einstellung und Medienzähler.</translation>
    </message>
    <message>
        <source>Built with Qt %1.</source>
        <translation>Erstellt mit Qt %1.</translation>
    </message>
    <message>
        <source>A firmware update is in progress.</source>
        <translation>Ein Firmware-Update läuft.</translation>
    </message>
    <message>
        <source>Quitting now can interrupt the update and damage the printer. Wait until the update has finished before you quit.</source>
        <translation>Wenn Sie jetzt beenden, kann das Update unterbrochen und der Drucker beschädigt werden. Warten Sie, bis das Update abgeschlossen ist, bevor Sie beenden.</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Quit Anyway</source>
        <translation>Trotzdem beenden</translation>
    </message>
</context>
<context>
    <name>ovn::app::PrinterDetailsPane</name>
    <message>
        <source>Serial number:</source>
        <translation>Seriennummer:</translation>
    </message>
    <message>
        <source>Firmware:</source>
        <translation>Firmware:</translation>
    </message>
    <message>
        <source>Lifetime prints:</source>
        <translation>Drucke insgesamt:</translation>
    </message>
    <message>
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>USB serial number:</source>
        <translation>USB-Seriennummer:</translation>
    </message>
    <message>
        <source>Color tables</source>
        <translation>Farbtabellen</translation>
    </message>
    <message>
        <source>No printer selected</source>
        <translation>Kein Drucker ausgewählt</translation>
    </message>
    <message>
        <source>USB %1:%2 at location %3</source>
        <translation>USB %1:%2 an Position %3</translation>
    </message>
    <message>
        <source>%1 (update to %2 available)</source>
        <translation>%1 (Update auf %2 verfügbar)</translation>
    </message>
    <message>
        <source>%1 (up to date)</source>
        <translation>%1 (aktuell)</translation>
    </message>
    <message>
        <source>Table</source>
        <translation>Tabelle</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>Checksum</source>
        <translation>Prüfsumme</translation>
    </message>
    <message>
        <source>Media</source>
        <translation>Medium</translation>
    </message>
    <message>
        <source>Color table</source>
        <translation>Farbtabelle</translation>
    </message>
</context>
<context>
    <name>ovn::app::PrinterTableModel</name>
    <message numerus="yes">
        <source>%1 (all %n tables)</source>
        <translation>
            <numerusform>%1 (%n Tabelle)</numerusform>
            <numerusform>%1 (alle %n Tabellen)</numerusform>
        </translation>
    </message>
    <message>
        <source>Printer</source>
        <translation>Drucker</translation>
    </message>
    <message>
        <source>Manufacturer</source>
        <translation>Hersteller</translation>
    </message>
    <message>
        <source>Model</source>
        <translation>Modell</translation>
    </message>
    <message>
        <source>Serial Number</source>
        <translation>Seriennummer</translation>
    </message>
    <message>
        <source>Firmware</source>
        <translation>Firmware</translation>
    </message>
    <message>
        <source>Available Firmware</source>
        <translation>Verfügbare Firmware</translation>
    </message>
    <message>
        <source>Color Tables</source>
        <translation>Farbtabellen</translation>
    </message>
    <message>
        <source>Checksums</source>
        <translation>Prüfsummen</translation>
    </message>
    <message>
        <source>Lifetime Prints</source>
        <translation>Drucke insgesamt</translation>
    </message>
    <message>
        <source>USB Serial</source>
        <translation>USB-Seriennummer</translation>
    </message>
    <message>
        <source>Printer Status</source>
        <translation>Druckerstatus</translation>
    </message>
    <message>
        <source>USB Status</source>
        <translation>USB-Status</translation>
    </message>
    <message>
        <source>This printer model cannot switch its USB serial number.</source>
        <translation>Dieses Druckermodell kann seine USB-Seriennummer nicht umschalten.</translation>
    </message>
    <message>
        <source>Table %1</source>
        <translation>Tabelle %1</translation>
    </message>
    <message>
        <source>Color table</source>
        <translation>Farbtabelle</translation>
    </message>
    <message>
        <source>Color table versions</source>
        <translation>Farbtabellen-Versionen</translation>
    </message>
    <message>
        <source>Color table checksums</source>
        <translation>Farbtabellen-Prüfsummen</translation>
    </message>
</context>
</TS>
