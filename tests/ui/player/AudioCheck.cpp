// A manual check of the real audio path, not run by CTest: plays a WAV file
// through the media interpreter with the Qt output (falling back to the
// silent one), polls the position every 250 ms, pauses after one second,
// seeks to 500 ms a second later and stops when two polls agree.
//
//   vindral_audio_check [file.wav]
//
// Against a private sound server with a null sink:
//   mkdir -m 700 /tmp/snd && export XDG_RUNTIME_DIR=/tmp/snd
//   pulseaudio -n --daemonize=no --exit-idle-time=-1
//     -L "module-null-sink sink_name=nullsink" -L module-native-protocol-unix &
//   (one command line)
//   vindral_audio_check
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "extract/ExtractRun.h"
#include "platform/media/MediaInterpreter.h"
#include "ui/player/QtAudioOutput.h"

using namespace vindral;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string path;
    if (argc > 1) {
        path = argv[1];
    } else {
        // Three seconds of a quiet square wave.
        path = QDir::temp().filePath("vindral-audio-check.wav").toStdString();
        const int sectors = 3 * 75;
        const auto header = MakeWavHeader(sectors);
        std::vector<char> audio(static_cast<std::size_t>(sectors) * kSectorBytes);
        for (std::size_t i = 0; i + 1 < audio.size(); i += 2) {
            audio[i + 1] = ((i / 4) / 100) % 2 == 0 ? 0x08 : static_cast<char>(0xF8);
        }
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(header.data()), header.size());
        out.write(audio.data(), static_cast<std::streamsize>(audio.size()));
    }

    platform::MediaInterpreter media(ui::QtAudioOutput::FactoryWithFallback());
    std::string reply;
    QElapsedTimer clock;
    clock.start();
    int rc = media.Send("open waveaudio!" + path + " alias vindralwave", reply);
    const bool real = dynamic_cast<ui::QtAudioOutput*>(media.Output()) != nullptr;
    std::printf("open: %d after %lld ms, output %s\n", rc, static_cast<long long>(clock.elapsed()),
                rc != 0 ? "none" : real ? "QAudioSink" : "silent");
    if (rc != 0) {
        return 1;
    }
    media.Send("set vindralwave time format milliseconds", reply);
    rc = media.Send("play vindralwave from 0", reply);
    std::printf("play from 0: %d\n", rc);
    clock.restart();

    int tick = 0;
    long last = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        ++tick;
        std::string position;
        const int status = media.Send("status vindralwave position", position);
        std::printf("%5lld ms: status %d, position %s\n", static_cast<long long>(clock.elapsed()),
                    status, position.c_str());
        std::string ignored;
        if (tick == 4) {
            std::printf("pause: %d\n", media.Send("pause vindralwave", ignored));
        } else if (tick == 8) {
            std::printf("play from 500: %d\n", media.Send("play vindralwave from 500", ignored));
        }
        const long now = std::atol(position.c_str());
        if ((tick > 9 && now == last) || tick > 200) {
            std::printf("two equal polls: the end\n");
            media.Send("close vindralwave", ignored);
            app.quit();
        }
        last = now;
    });
    poll.start(250);
    return app.exec();
}
