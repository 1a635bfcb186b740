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
    <message>
        <source>Quit as soon as the table has been painted with a printer in it (to measure start-up).</source>
        <translation>Beenden, sobald die Tabelle mit einem Drucker darin gezeichnet ist (um den Start zu messen).</translation>
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
    <message>
        <source>Firmware Update Mode</source>
        <translation>Firmware-Update-Modus</translation>
    </message>
    <message>
        <source>Idle</source>
        <translation>Bereit</translation>
    </message>
    <message>
        <source>Printing</source>
        <translation>Druckt</translation>
    </message>
    <message>
        <source>Head cool down cycle</source>
        <translation>Druckkopf kühlt ab</translation>
    </message>
    <message>
        <source>Motor cool down cycle</source>
        <translation>Motor kühlt ab</translation>
    </message>
    <message>
        <source>Sleeping (standby mode)</source>
        <translation>Ruhezustand (Standby)</translation>
    </message>
    <message>
        <source>Cover Open</source>
        <translation>Abdeckung offen</translation>
    </message>
    <message>
        <source>Scrap Box Missing</source>
        <translation>Abfallbehälter fehlt</translation>
    </message>
    <message>
        <source>Paper End</source>
        <translation>Papier leer</translation>
    </message>
    <message>
        <source>Ribbon End</source>
        <translation>Farbband leer</translation>
    </message>
    <message>
        <source>Paper Jam</source>
        <translation>Papierstau</translation>
    </message>
    <message>
        <source>Ribbon Error</source>
        <translation>Farbbandfehler</translation>
    </message>
    <message>
        <source>Wrong Paper</source>
        <translation>Falsches Papier</translation>
    </message>
    <message>
        <source>Bad Data</source>
        <translation>Fehlerhafte Daten</translation>
    </message>
    <message>
        <source>Head Voltage Error</source>
        <translation>Fehler der Druckkopfspannung</translation>
    </message>
    <message>
        <source>Head Position Error</source>
        <translation>Fehler der Druckkopfposition</translation>
    </message>
    <message>
        <source>Power supply Error</source>
        <translation>Fehler der Stromversorgung</translation>
    </message>
    <message>
        <source>Cutter Error</source>
        <translation>Fehler des Schneidwerks</translation>
    </message>
    <message>
        <source>Pinch Roller Error</source>
        <translation>Fehler der Andruckrolle</translation>
    </message>
    <message>
        <source>Head Temp High Error</source>
        <translation>Druckkopf zu heiß</translation>
    </message>
    <message>
        <source>Media Temp Error</source>
        <translation>Fehler der Medientemperatur</translation>
    </message>
    <message>
        <source>Motor Temp Error</source>
        <translation>Fehler der Motortemperatur</translation>
    </message>
    <message>
        <source>Ribbon Tension Error</source>
        <translation>Fehler der Farbbandspannung</translation>
    </message>
    <message>
        <source>RFID Module Error</source>
        <translation>Fehler des RFID-Moduls</translation>
    </message>
    <message>
        <source>System Fail Error</source>
        <translation>Systemfehler</translation>
    </message>
    <message>
        <source>Unknown Status</source>
        <translation>Unbekannter Status</translation>
    </message>
    <message>
        <source>&lt;NULL&gt;</source>
        <translation>Unbekannt</translation>
    </message>
    <message>
        <source>Updating firmware ...</source>
        <translation>Firmware wird aktualisiert …</translation>
    </message>
    <message>
        <source>Writing firmware ...</source>
        <translation>Firmware wird geschrieben …</translation>
    </message>
    <message>
        <source>Updating color tables ...</source>
        <translation>Farbtabellen werden aktualisiert …</translation>
    </message>
    <message>
        <source>Enabled</source>
        <translation>Ein</translation>
    </message>
    <message>
        <source>Disabled</source>
        <translation>Aus</translation>
    </message>
    <message>
        <source>Unavailable</source>
        <translation>Nicht verfügbar</translation>
    </message>
    <message>
        <source>Alert</source>
        <translation>Hinweis</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Fortfahren</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Proceed</source>
        <translation>Weiter</translation>
    </message>
    <message>
        <source>Finish</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>Ignorieren</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>Firmware aktualisieren</translation>
    </message>
    <message>
        <source>I Agree</source>
        <translation>Ich stimme zu</translation>
    </message>
    <message>
        <source>Attention:</source>
        <translation>Achtung:</translation>
    </message>
    <message>
        <source>A printer was unexpectedly found in firmware update mode. Would you like to update the firmware?</source>
        <translation>Ein Drucker wurde unerwartet im Firmware-Update-Modus gefunden. Möchten Sie die Firmware aktualisieren?</translation>
    </message>
    <message>
        <source>Please power-cycle this printer</source>
        <translation>Bitte schalten Sie diesen Drucker aus und wieder ein</translation>
    </message>
    <message>
        <source>Contact customer support if power-cycling does not resolve the issue.</source>
        <translation>Wenden Sie sich an den Kundendienst, wenn das Aus- und Einschalten das Problem nicht behebt.</translation>
    </message>
    <message>
        <source>-- File corruption --

There is a problem with the firmware files.</source>
        <translation>-- Beschädigte Dateien --

Mit den Firmware-Dateien stimmt etwas nicht.</translation>
    </message>
    <message>
        <source>Contact customer support.</source>
        <translation>Wenden Sie sich an den Kundendienst.</translation>
    </message>
    <message>
        <source>Firmware update not needed</source>
        <translation>Firmware-Update nicht nötig</translation>
    </message>
    <message>
        <source>Printer Busy</source>
        <translation>Drucker belegt</translation>
    </message>
    <message>
        <source>Another application is using the printer. Please proceed when the printer becomes available.</source>
        <translation>Ein anderes Programm verwendet den Drucker. Bitte fahren Sie fort, sobald der Drucker verfügbar ist.</translation>
    </message>
    <message>
        <source>Printer Error</source>
        <translation>Druckerfehler</translation>
    </message>
    <message>
        <source>The printer is not responding properly. Please power-cycle the printer and try again.</source>
        <translation>Der Drucker antwortet nicht richtig. Bitte schalten Sie den Drucker aus und wieder ein und versuchen Sie es erneut.</translation>
    </message>
    <message>
        <source>Printer Not Ready</source>
        <translation>Drucker nicht bereit</translation>
    </message>
    <message>
        <source>-- Warning --

Are you certain you want to update the firmware?</source>
        <translation>-- Warnung --

Möchten Sie die Firmware wirklich aktualisieren?</translation>
    </message>
    <message>
        <source>The printer may be permanently damaged if it is unplugged or loses power during the update process.</source>
        <translation>Der Drucker kann dauerhaft beschädigt werden, wenn er während des Updates ausgesteckt wird oder den Strom verliert.</translation>
    </message>
    <message>
        <source>There was a problem with the firmware file!</source>
        <translation>Mit der Firmware-Datei gab es ein Problem!</translation>
    </message>
    <message>
        <source>This application may be damaged. Please download a new copy.</source>
        <translation>Dieses Programm ist möglicherweise beschädigt. Bitte laden Sie eine neue Kopie herunter.</translation>
    </message>
    <message>
        <source>Firmware update was successful!</source>
        <translation>Das Firmware-Update war erfolgreich!</translation>
    </message>
    <message>
        <source>There was a problem with the firmware update!</source>
        <translation>Beim Firmware-Update gab es ein Problem!</translation>
    </message>
    <message>
        <source> Please use up all MV1 media before using this update tool.</source>
        <translation> Bitte verbrauchen Sie alle MV1-Medien, bevor Sie dieses Update-Programm verwenden.</translation>
    </message>
    <message>
        <source>Firmware version updated from %1 to %2</source>
        <translation>Firmware-Version von %1 auf %2 aktualisiert</translation>
    </message>
    <message>
        <source>Previous firmware version: %1 current version: %2</source>
        <translation>Bisherige Firmware-Version: %1, aktuelle Version: %2</translation>
    </message>
    <message>
        <source>Update Firmware to %1</source>
        <translation>Firmware auf %1 aktualisieren</translation>
    </message>
    <message>
        <source>Please correct the following issue: %1</source>
        <translation>Bitte beheben Sie folgendes Problem: %1</translation>
    </message>
    <message>
        <source>This printer has firmware version %1 installed.</source>
        <translation>Auf diesem Drucker ist die Firmware-Version %1 installiert.</translation>
    </message>
    <message>
        <source>This update tool will upgrade the printer firmware to version %1. This process cannot be undone</source>
        <translation>Dieses Update-Programm aktualisiert die Druckerfirmware auf Version %1. Dieser Vorgang kann nicht rückgängig gemacht werden.</translation>
    </message>
    <message>
        <source>This update tool is for the OVN MV1 printer. It will upgrade the printer to %1.

Once updated, the MV1 printer will REQUIRE the use of MV1Q media packs.%2 This process cannot be undone.</source>
        <translation>Dieses Update-Programm ist für den OVN-MV1-Drucker. Es aktualisiert den Drucker auf %1.

Nach dem Update BENÖTIGT der MV1-Drucker MV1Q-Medienpakete.%2 Dieser Vorgang kann nicht rückgängig gemacht werden.</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>Firmware update refused</source>
        <translation>Firmware-Aktualisierung abgelehnt</translation>
    </message>
    <message>
        <source>The printer did not enter firmware update mode</source>
        <translation>Der Drucker ist nicht in den Firmware-Aktualisierungsmodus gewechselt</translation>
    </message>
    <message>
        <source>The printer is not answering</source>
        <translation>Der Drucker antwortet nicht</translation>
    </message>
    <message>
        <source>The colour tables could not be written</source>
        <translation>Die Farbtabellen konnten nicht geschrieben werden</translation>
    </message>
    <message>
        <source>Finish the firmware update?</source>
        <translation>Firmware-Aktualisierung abschließen?</translation>
    </message>
    <message>
        <source>Later</source>
        <translation>Später</translation>
    </message>
    <message>
        <source>an unknown version</source>
        <translation>einer unbekannten Version</translation>
    </message>
    <message>
        <source>the firmware version delivered with it</source>
        <translation>die mitgelieferte Firmware-Version</translation>
    </message>
    <message>
        <source>the version delivered with it</source>
        <translation>die mitgelieferte Version</translation>
    </message>
    <message>
        <source>its status was asked for before the update</source>
        <translation>bei der Statusabfrage vor der Aktualisierung</translation>
    </message>
    <message>
        <source>its status was asked for after it restarted for the update</source>
        <translation>bei der Statusabfrage nach dem Neustart für die Aktualisierung</translation>
    </message>
    <message>
        <source>it could not be opened to restart it for the update</source>
        <translation>er konnte für den Neustart zur Aktualisierung nicht geöffnet werden</translation>
    </message>
    <message>
        <source>it could not be opened to send the firmware</source>
        <translation>er konnte zum Senden der Firmware nicht geöffnet werden</translation>
    </message>
    <message>
        <source>it could not be opened to finish the update</source>
        <translation>er konnte zum Abschließen der Aktualisierung nicht geöffnet werden</translation>
    </message>
    <message>
        <source>while the printer was restarting into firmware update mode</source>
        <translation>während der Drucker in den Firmware-Aktualisierungsmodus neu startete</translation>
    </message>
    <message>
        <source>after the new firmware was sent and before its colour tables were written</source>
        <translation>nachdem die neue Firmware gesendet war und bevor ihre Farbtabellen geschrieben wurden</translation>
    </message>
    <message>
        <source>Another program is updating the firmware of %1. Wait until it has finished, then try again.</source>
        <translation>Ein anderes Programm aktualisiert gerade die Firmware von %1. Warten Sie, bis es fertig ist, und versuchen Sie es dann erneut.</translation>
    </message>
    <message>
        <source>The firmware of %1 is not updated: the update journal cannot be kept (%2). Make the folder writable, then try again.</source>
        <translation>Die Firmware von %1 wird nicht aktualisiert: Das Aktualisierungsprotokoll kann nicht geführt werden (%2). Machen Sie den Ordner beschreibbar und versuchen Sie es dann erneut.</translation>
    </message>
    <message>
        <source>%1 restarted without entering firmware update mode. Its firmware was not changed; you can start the update again.</source>
        <translation>%1 wurde neu gestartet, ohne in den Firmware-Aktualisierungsmodus zu wechseln. Die Firmware wurde nicht geändert; Sie können die Aktualisierung erneut starten.</translation>
    </message>
    <message>
        <source>%1 stopped answering (%2). Check that it is switched on and connected, and power-cycle it if it stays silent. An update under way goes on when the printer is found again.</source>
        <translation>%1 antwortet nicht mehr (%2). Prüfen Sie, ob der Drucker eingeschaltet und angeschlossen ist, und schalten Sie ihn aus und wieder ein, wenn er weiter nicht antwortet. Eine laufende Aktualisierung wird fortgesetzt, sobald der Drucker wieder gefunden wird.</translation>
    </message>
    <message>
        <source>%1 could not be opened to write its colour tables. The update is finished the next time the printer is found; power-cycle it if it does not come back.</source>
        <translation>%1 konnte zum Schreiben der Farbtabellen nicht geöffnet werden. Die Aktualisierung wird abgeschlossen, sobald der Drucker wieder gefunden wird; schalten Sie ihn aus und wieder ein, wenn er nicht zurückkommt.</translation>
    </message>
    <message>
        <source>The firmware update of %1 from %2 to %3 was interrupted %4. Would you like to finish it now?</source>
        <translation>Die Firmware-Aktualisierung von %1 von %2 auf %3 wurde unterbrochen, %4. Möchten Sie sie jetzt abschließen?</translation>
    </message>
    <message>
        <source>OVN %1 (serial %2)</source>
        <translation>OVN %1 (Seriennummer %2)</translation>
    </message>
    <message>
        <source>firmware version %1</source>
        <translation>Firmware-Version %1</translation>
    </message>
    <message>
        <source>%1 (USB product ID %2, USB device %3) is not accepted: start the program with --accept-product %2 to use it</source>
        <translation>%1 (USB-Produkt-ID %2, USB-Gerät %3) wird nicht angenommen: Starten Sie das Programm mit --accept-product %2, um ihn zu verwenden</translation>
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
    <message>
        <source>Update &amp;History…</source>
        <translation>Update-&amp;Verlauf …</translation>
    </message>
    <message>
        <source>Show the firmware updates done on this computer</source>
        <translation>Die Firmware-Updates auf diesem Computer anzeigen</translation>
    </message>
    <message>
        <source>Not available while %1 is being updated.</source>
        <translation>Nicht verfügbar, solange %1 aktualisiert wird.</translation>
    </message>
    <message>
        <source>%1 has not come back</source>
        <translation>%1 ist nicht zurückgekehrt</translation>
    </message>
    <message>
        <source>The printer restarted for its firmware update %1 seconds ago and has not been found since. It is probably waiting in firmware update mode, or stopped while restarting. Switch the printer off and on again (power-cycle it); the update goes on when it comes back.</source>
        <translation>Der Drucker hat sich vor %1 Sekunden für sein Firmware-Update neu gestartet und wurde seitdem nicht wieder gefunden. Wahrscheinlich wartet er im Firmware-Update-Modus oder ist beim Neustart stehen geblieben. Schalten Sie den Drucker aus und wieder ein; das Update geht weiter, sobald er zurück ist.</translation>
    </message>
    <message>
        <source>Reset counter %1 of %2?</source>
        <translation>Zähler %1 von %2 zurücksetzen?</translation>
    </message>
    <message>
        <source>The counter starts again from zero. This cannot be undone.</source>
        <translation>Der Zähler beginnt wieder bei null. Das kann nicht rückgängig gemacht werden.</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>The printer is not idle (%1). Resetting a counter now may disturb what it is doing.</source>
        <translation>Der Drucker ist nicht bereit (%1). Ein Zähler, der jetzt zurückgesetzt wird, kann seine laufende Arbeit stören.</translation>
    </message>
    <message>
        <source>Reset Counter %1</source>
        <translation>Zähler %1 zurücksetzen</translation>
    </message>
    <message>
        <source>%1 is gone; no counter was reset.</source>
        <translation>%1 ist nicht mehr da; kein Zähler wurde zurückgesetzt.</translation>
    </message>
    <message>
        <source>Resetting counter %1 of %2…</source>
        <translation>Zähler %1 von %2 wird zurückgesetzt …</translation>
    </message>
    <message>
        <source>Counter %1 of %2 was reset.</source>
        <translation>Zähler %1 von %2 wurde zurückgesetzt.</translation>
    </message>
    <message>
        <source>Counter %1 of %2 was not reset</source>
        <translation>Zähler %1 von %2 wurde nicht zurückgesetzt</translation>
    </message>
    <message>
        <source>The printer did not take the reset.</source>
        <translation>Der Drucker hat das Zurücksetzen nicht angenommen.</translation>
    </message>
    <message>
        <source>Update History</source>
        <translation>Update-Verlauf</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Zeit</translation>
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
        <source>From</source>
        <translation>Von</translation>
    </message>
    <message>
        <source>To</source>
        <translation>Auf</translation>
    </message>
    <message>
        <source>Color Tables Written</source>
        <translation>Geschriebene Farbtabellen</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>Ergebnis</translation>
    </message>
    <message>
        <source>Duration</source>
        <translation>Dauer</translation>
    </message>
    <message>
        <source>Program</source>
        <translation>Programm</translation>
    </message>
    <message>
        <source>succeeded</source>
        <translation>erfolgreich</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>fehlgeschlagen</translation>
    </message>
    <message>
        <source>interrupted</source>
        <translation>unterbrochen</translation>
    </message>
    <message>
        <source>resumed</source>
        <translation>fortgesetzt</translation>
    </message>
    <message>
        <source>superseded</source>
        <translation>überholt</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <source>The update history cannot be read: %1</source>
        <translation>Der Update-Verlauf kann nicht gelesen werden: %1</translation>
    </message>
    <message>
        <source>No firmware update has been recorded on this computer yet.</source>
        <translation>Auf diesem Computer wurde noch kein Firmware-Update aufgezeichnet.</translation>
    </message>
    <message numerus="yes">
        <source>%n damaged line(s) of the history were left out.</source>
        <translation>
            <numerusform>%n beschädigte Zeile des Verlaufs wurde ausgelassen.</numerusform>
            <numerusform>%n beschädigte Zeilen des Verlaufs wurden ausgelassen.</numerusform>
        </translation>
    </message>
    <message>
        <source>Stopping after the current step of the update (%1) has ended…</source>
        <translation>Das Programm endet, sobald der laufende Schritt des Updates (%1) abgeschlossen ist …</translation>
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
    <message>
        <source>Unknown printer</source>
        <translation>Unbekannter Drucker</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>%1 (serial %2)</source>
        <translation>%1 (Seriennummer %2)</translation>
    </message>
    <message>
        <source>Restarting…</source>
        <translation>Startet neu …</translation>
    </message>
    <message>
        <source>Waiting for firmware…</source>
        <translation>Wartet auf Firmware …</translation>
    </message>
    <message>
        <source>Writing firmware…</source>
        <translation>Firmware wird geschrieben …</translation>
    </message>
    <message>
        <source>Updating colour tables…</source>
        <translation>Farbtabellen werden aktualisiert …</translation>
    </message>
    <message>
        <source>Updating %1: %2 %3</source>
        <translation>Update von %1: %2 %3</translation>
    </message>
    <message>
        <source>Restarting</source>
        <translation>Startet neu</translation>
    </message>
</context>
</TS>
