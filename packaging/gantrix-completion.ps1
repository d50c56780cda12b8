# PowerShell tab completion for gantrix: switches, port word, "debug" prefix, command words and
# their arguments, the same words as the bash completion (packaging/check-completion.sh keeps the two
# lists equal). Written for Windows PowerShell 5.1 and PowerShell 7, though the package check
# only parses it and runs it in neither. Load it from your profile:
#
#     . 'C:\Program Files\gantrix\gantrix-completion.ps1'
#
# Where nothing is offered (after "upgrade", after a number), PowerShell completes file names.

Register-ArgumentCompleter -Native -CommandName 'gantrix', 'gantrix.exe' -ScriptBlock {
    param($wordToComplete, $commandAst, $cursorPosition)
    $wordToComplete = "$wordToComplete"

    $commands = @('ping', 'id', 'upgrade', 'status', 'home', 'move', 'calibrate', 'precalibrate',
        'vend', 'recover')
    # The commands that set the mechanism going: the only ones --wait goes with.
    $motion = @('home', 'move', 'calibrate', 'precalibrate', 'vend', 'recover')
    $prefix = @('debug')
    # The word that runs many command lines on the one port, in place of a command word.
    $session = @('shell')
    $channels = @('all', 'x', 'y', 'z', 'z1')
    $directions = @('fwd', 'f', 'bwd', 'b', 'mark')
    $switches = @('-h', '--help', '-V', '--version', '--timeout', '--retries', '--trace', '--log', '--progress',
        '--format', '--base', '--wait', '--json', '--list-ports', '--probe', '--wait-port',
        '--keep-going', '--each', '--jobs')
    $valued = @('--timeout', '--retries', '--log', '--progress', '--format', '--base', '--wait', '--wait-port', '--jobs')
    $listing = @('--list-ports', '--probe')
    $progress = @('plain')
    $formats = @('raw', 'ihex', 'srec')

    # The words up to the cursor, the command name first. The word being completed is the last
    # of them, or a new one when the cursor follows a space.
    $words = @($commandAst.CommandElements |
        Where-Object { $_.Extent.StartOffset -lt $cursorPosition } |
        ForEach-Object { $_.Extent.Text })
    $cword = $words.Count
    if ($wordToComplete -ne '') {
        $cword = $cword - 1
    }

    # Windows port names are not case-sensitive, and neither is PowerShell: "com" finds COM3.
    $offer = {
        param([string[]] $candidates)
        $ignoreCase = [System.StringComparison]::OrdinalIgnoreCase
        foreach ($candidate in $candidates) {
            if ($candidate.StartsWith($wordToComplete, $ignoreCase)) {
                [System.Management.Automation.CompletionResult]::new(
                    $candidate, $candidate, 'ParameterValue', $candidate)
            }
        }
    }

    # The switches before the port word, with their values: $base is where the port word goes.
    $base = 1
    $given = @()
    $short = @('-h', '-V')
    while ($base -lt $cword -and
        ("$($words[$base])".StartsWith('--') -or $short -ccontains $words[$base])) {
        $given += $words[$base]
        if ($valued -contains $words[$base]) {
            $base++
        }
        $base++
    }
    # A switch's value: "plain" for --progress, a format for --format; a file name for --log,
    # which PowerShell offers itself when nothing is returned.
    if ($base -gt $cword) {
        if ($words[$cword - 1] -eq '--progress') {
            return & $offer $progress
        }
        if ($words[$cword - 1] -eq '--format') {
            return & $offer $formats
        }
        return
    }
    if ($given -contains '--help' -or $given -ccontains '-h') {
        return
    }
    # After --version only --json, once.
    if ($given -contains '--version' -or $given -ccontains '-V') {
        if ($cword -eq $base -and $given -notcontains '--json') {
            return & $offer @('--json')
        }
        return
    }
    # After --list-ports or --probe, only the other one of the two, and --json.
    $listed = @($given | Where-Object { $listing -contains $_ })
    if ($listed.Count -gt 0) {
        if ($cword -eq $base) {
            return & $offer @(($listing + '--json') | Where-Object { $given -notcontains $_ })
        }
        return
    }

    # The port word's place: the switches not given yet, or the COM ports there are now. The
    # .NET list when the class is loaded (Windows PowerShell), else the registry key that the
    # list comes from. COM3 before COM10.
    if ($cword -eq $base -and $wordToComplete.StartsWith('-')) {
        return & $offer @($switches | Where-Object { $given -notcontains $_ })
    }
    # usb:VID:PID[:SERIAL] words, from the tool's own listing, once a word starts that way.
    if ($cword -eq $base -and $wordToComplete.StartsWith('u')) {
        $tool = $commandAst.CommandElements[0].Extent.Text
        $usbWords = @(& $tool --list-ports 2>$null |
            ForEach-Object {
                if ($_ -match '  usb ([0-9a-f]+:[0-9a-f]+)(  serial (\S+))?') {
                    if ($Matches[3]) { "usb:$($Matches[1]):$($Matches[3])" } else { "usb:$($Matches[1])" }
                }
            })
        return & $offer $usbWords
    }
    if ($cword -eq $base) {
        $ports = @()
        $serialPort = 'System.IO.Ports.SerialPort' -as [type]
        if ($serialPort) {
            $ports = @($serialPort::GetPortNames())
        }
        if ($ports.Count -eq 0) {
            $serialComm = 'HKLM:\HARDWARE\DEVICEMAP\SERIALCOMM'
            $key = Get-Item -LiteralPath $serialComm -ErrorAction SilentlyContinue
            if ($key) {
                $ports = @($key.GetValueNames() | ForEach-Object { $key.GetValue($_) })
            }
        }
        $ports = @($ports | Sort-Object -Unique { [int]('0' + ($_ -replace '\D', '')) }, { $_ })
        return & $offer $ports
    }

    # After the port: a command word or the "debug" prefix; after the prefix only a command word.
    $at = $base + 1
    if ($cword -gt $at -and $prefix -contains $words[$at]) {
        $at = $base + 2
    }
    # --wait goes with the motion commands only, and --json never with "debug".
    if ($cword -eq $at) {
        $offered = $commands
        if ($given -contains '--wait') {
            $offered = $motion
        }
        if ($at -eq $base + 1) {
            $offered = $session + $offered
        }
        if ($at -eq $base + 1 -and $given -notcontains '--json') {
            return & $offer ($prefix + $offered)
        }
        return & $offer $offered
    }

    # The command's own arguments, by position; "upgrade" and "shell" take a file name, which PowerShell
    # completes itself when nothing is returned.
    $n = $cword - $at
    if ($words[$at] -eq 'move') {
        if ($n -eq 1) {
            return & $offer $channels
        }
        if ($n -eq 2) {
            return & $offer $directions
        }
    }
}
