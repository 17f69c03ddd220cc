<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="it">
<context>
    <name>main</name>
    <message>
        <location filename="../line_main.cpp" line="41"/>
        <source>The production line&apos;s operator window: runs a line profile, a tile per fixture.</source>
        <translation>La finestra dell&apos;operatore della linea di produzione: esegue un profilo di linea, una casella per postazione.</translation>
    </message>
    <message>
        <location filename="../line_main.cpp" line="45"/>
        <source>the line profile to run (&apos;quarnelix-dfu-cli profile new&apos; writes one)</source>
        <translation>il profilo di linea da eseguire (&apos;quarnelix-dfu-cli profile new&apos; ne scrive uno)</translation>
    </message>
</context>
<context>
    <name>qdfu::FixtureTile</name>
    <message>
        <location filename="../line_window.cpp" line="117"/>
        <source>READY</source>
        <translation>PRONTO</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="118"/>
        <source>FLASHING</source>
        <translation>IN SCRITTURA</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="119"/>
        <source>PASS</source>
        <translation>PASS</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="120"/>
        <source>FAIL</source>
        <translation>FAIL</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="121"/>
        <source>NOT DONE</source>
        <translation>NON ESEGUITO</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="145"/>
        <source>Serial %1</source>
        <translation>Seriale %1</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="147"/>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>qdfu::LineWindow</name>
    <message>
        <location filename="../line_window.cpp" line="156"/>
        <source>Choose the line profile</source>
        <translation>Scegli il profilo di linea</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="157"/>
        <source>Line profiles (*.ini);;All files (*)</source>
        <translation>Profili di linea (*.ini);;Tutti i file (*)</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="161"/>
        <source>Export the runs as CSV</source>
        <translation>Esporta le esecuzioni in CSV</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="162"/>
        <source>CSV files (*.csv)</source>
        <translation>File CSV (*.csv)</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="168"/>
        <source>No line profile: start with --profile LINE.ini or choose one.</source>
        <translation>Nessun profilo di linea: avvia con --profile LINEA.ini o scegline uno.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="184"/>
        <source>Quarnelix line</source>
        <translation>Linea Quarnelix</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="197"/>
        <source>Scan your badge, or WO:… for the work order, then Enter</source>
        <translation>Scansiona il badge, o WO:… per l&apos;ordine di lavoro, poi Invio</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="223"/>
        <source>Start (F5)</source>
        <translation>Avvia (F5)</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="224"/>
        <source>Stop (Esc)</source>
        <translation>Ferma (Esc)</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="249"/>
        <source>Line</source>
        <translation>Linea</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="257"/>
        <location filename="../line_window.cpp" line="259"/>
        <source>YYYY-MM-DD</source>
        <translation>AAAA-MM-GG</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="260"/>
        <source>From</source>
        <translation>Dal</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="261"/>
        <source>To</source>
        <translation>Al</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="265"/>
        <source>Operator</source>
        <translation>Operatore</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="266"/>
        <source>Work order</source>
        <translation>Ordine di lavoro</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="269"/>
        <source>any</source>
        <translation>qualsiasi</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="270"/>
        <source>completed</source>
        <translation>completato</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="271"/>
        <source>failed</source>
        <translation>fallito</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="272"/>
        <source>not done</source>
        <translation>non eseguito</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="274"/>
        <source>Outcome</source>
        <translation>Esito</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="275"/>
        <source>Serial</source>
        <translation>Seriale</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="280"/>
        <source>Show</source>
        <translation>Mostra</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="281"/>
        <source>Export CSV…</source>
        <translation>Esporta CSV…</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="293"/>
        <source>History</source>
        <translation>Storico</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="380"/>
        <source>Quarnelix line — %1</source>
        <translation>Linea Quarnelix — %1</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="382"/>
        <source>Station: every unit plugged in is flashed.</source>
        <translation>Stazione: ogni unità collegata viene programmata.</translation>
    </message>
    <message numerus="yes">
        <location filename="../line_window.cpp" line="385"/>
        <source>%n fixture(s) ready: press F5 to start.</source>
        <translation>
            <numerusform>%n postazione pronta: premi F5 per avviare.</numerusform>
            <numerusform>%n postazioni pronte: premi F5 per avviare.</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="426"/>
        <source>Work order cleared.</source>
        <translation>Ordine di lavoro tolto.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="426"/>
        <source>Work order %1.</source>
        <translation>Ordine di lavoro %1.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="429"/>
        <source>Operator %1.</source>
        <translation>Operatore %1.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="437"/>
        <source>It applies from the next start.</source>
        <translation>Vale dal prossimo avvio.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="437"/>
        <source>It applies from the next unit.</source>
        <translation>Vale dalla prossima unità.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="444"/>
        <source>Operator: scan your badge</source>
        <translation>Operatore: scansiona il badge</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="445"/>
        <source>Operator: none</source>
        <translation>Operatore: nessuno</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="446"/>
        <source>Operator: %1</source>
        <translation>Operatore: %1</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="447"/>
        <source>Work order: none</source>
        <translation>Ordine di lavoro: nessuno</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="447"/>
        <source>Work order: %1</source>
        <translation>Ordine di lavoro: %1</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="459"/>
        <source>The line profile changed: it was read again. Press F5 to start.</source>
        <translation>Il profilo di linea è cambiato: è stato riletto. Premi F5 per avviare.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="467"/>
        <source>Nothing starts without an operator: scan your badge first.</source>
        <translation>Senza operatore non parte nulla: scansiona prima il badge.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="495"/>
        <source>Watching the ports: plug in a unit.</source>
        <translation>In attesa sulle porte: collega un&apos;unità.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="495"/>
        <source>Flashing…</source>
        <translation>Programmazione in corso…</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="559"/>
        <source>Stopping: every running fixture stops and resets its controller. Esc again within 3 s cuts them short.</source>
        <translation>Arresto: ogni postazione attiva si ferma e resetta il suo controllore. Esc di nuovo entro 3 s le interrompe subito.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="563"/>
        <source>Cut short: the running fixtures end now.</source>
        <translation>Interrotto: le postazioni attive terminano ora.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="566"/>
        <source>Stopping… Esc again within 3 s cuts the runs short.</source>
        <translation>Arresto in corso… Esc di nuovo entro 3 s interrompe subito.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="581"/>
        <source>%1: the line went; connecting again (retry %2).</source>
        <translation>%1: la linea è caduta; nuova connessione (tentativo %2).</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="633"/>
        <source>The station stopped: press F5 to watch the ports again.</source>
        <translation>La stazione si è fermata: premi F5 per tornare in attesa sulle porte.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="635"/>
        <source>Every fixture passed. Press F5 for the next units.</source>
        <translation>Tutte le postazioni PASS. Premi F5 per le prossime unità.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="636"/>
        <source>Every fixture passed, but not everything was written down:</source>
        <translation>Tutte le postazioni PASS, ma non tutto è stato registrato:</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="637"/>
        <source>Done: press F5 for the next units.</source>
        <translation>Finito: premi F5 per le prossime unità.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="648"/>
        <source>This window: %1 runs · %2 PASS · %3 FAIL · yield %4</source>
        <translation>Questa finestra: %1 esecuzioni · %2 PASS · %3 FAIL · resa %4</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="685"/>
        <location filename="../line_window.cpp" line="738"/>
        <source>This line keeps no ledger.</source>
        <translation>Questa linea non tiene un registro.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="697"/>
        <source>Today on this line: no runs yet.</source>
        <translation>Oggi su questa linea: ancora nessuna esecuzione.</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="699"/>
        <location filename="../line_window.cpp" line="706"/>
        <location filename="../line_window.cpp" line="774"/>
        <source>Ledger cannot be reached: %1</source>
        <translation>Registro non raggiungibile: %1</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="711"/>
        <source>Today on this line: %1 runs, yield %2</source>
        <translation>Oggi su questa linea: %1 esecuzioni, resa %2</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="754"/>
        <source>Serial: &apos;%1&apos; is not a serial number</source>
        <translation>Seriale: &apos;%1&apos; non è un numero di serie</translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="758"/>
        <source>Reading the ledger…</source>
        <translation>Lettura del registro…</translation>
    </message>
    <message numerus="yes">
        <location filename="../line_window.cpp" line="789"/>
        <source>%n run(s).</source>
        <translation>
            <numerusform>%n esecuzione.</numerusform>
            <numerusform>%n esecuzioni.</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../line_window.cpp" line="804"/>
        <source>Cannot write %1: %2</source>
        <translation>Impossibile scrivere %1: %2</translation>
    </message>
    <message numerus="yes">
        <location filename="../line_window.cpp" line="807"/>
        <source>%n run(s) written to %1.</source>
        <translation>
            <numerusform>%n esecuzione scritta in %1.</numerusform>
            <numerusform>%n esecuzioni scritte in %1.</numerusform>
        </translation>
    </message>
</context>
</TS>
